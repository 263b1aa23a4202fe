// Booting and updating from a USB stick: the wait for the stick, the stick's image booted and
// put on the rejected list, the question when it comes again, replacement images, boot-loader
// bundles, and installs from the stick cut short by a power failure.
#include <functional>
#include <optional>

#include "boot_fixture.h"

using namespace boottest;

namespace {

const std::string kReady =
    "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\nUSB "
    "mounted and ready!\n";
const std::string kNoBoot = "No boot image found on USB.\n";
const std::string kBootFound = "Boot image found on USB.\n";
const std::string kFromStick = "Booting image 'QVM7314_OS.img' from USB stick.\n";
const std::string kAsk = "USB image is in rejected list.\nWould you still like to load it? ";
const std::string kGaveUp = "USB Boot failed. Trying flash images.\n";
const std::string kTimeout = "(y/n) \nTimeout. Assuming \"no\".\n";
const std::string kSame = "Image has same version as existing image. Skipping update...\n";
const std::string kMd5 = "/bin/busybox md5sum /mnt/usb/QVM7314_OS.img > /tmp/img_md5string";
const std::string kApp9 = kvzsim::app_says("9.0.0.0");

std::string replaced(int slot, size_t size) {
  const std::string n = std::to_string(slot);
  return "USB image (file 'QVM7314_replace" + n + "_OS.img') replacement for image" + n +
         " found\n" + kExtract + "Installing Application: " + slot_written(slot, size) +
         "File processed\nImage" + n + " has been successfully replaced\n";
}

std::string skipped(int slot) {
  const std::string n = std::to_string(slot);
  return "USB image (file 'QVM7314_replace" + n + "_OS.img') replacement for image" + n +
         " found\n" + kExtract + "Installing Application: Installing image as image" + n +
         ": Image" + n + kSame.substr(5) + "File processed\n";
}

// The platform announces the stick after a moment the launcher does not control: the dots it
// draws before the stick is ready are left out of the comparison.
// One power-on of a story: how the board is changed first, whether the stick is in, the keys
// typed at the yes/no question (none: nobody answers), and what the boot shows.
struct PowerOn {
  const char* what;
  std::function<void(const Board&)> change;
  bool stick;
  std::string keys;
  int status;
  std::string out, err = "";
  std::optional<Lines> commands = std::nullopt;
};

class UsbTest : public BootTest {
 protected:
  void play(const Board& b, const std::vector<PowerOn>& story) {
    b.set_vpd(315, 213);
    for (const PowerOn& p : story) {
      SCOPED_TRACE(p.what);
      if (p.change) p.change(b);
      b.clear_logs();
      std::vector<std::string> extra;
      if (p.stick) extra.push_back("--usb");
      // The question waits 5 s of board time for its answer: slower time leaves room to type.
      Console c(b, GetParam(), extra, p.keys.empty() ? 20 : 2);
      if (!p.keys.empty()) {
        EXPECT_TRUE(c.wait_for("(y/n) "));
        usleep(200000);
        c.send(p.keys);
      }
      const Boot r = c.finish();
      EXPECT_EQ(r.status, p.status);
      EXPECT_EQ(kvzsim::undotted(r.out), p.out);
      EXPECT_EQ(r.err, p.err);
      EXPECT_EQ(b.commands(), p.commands.value_or(b.commands()));
    }
  }
};

TEST_P(UsbTest, StickImageAndTheRejectedList) {
  Board board;
  board.write("usb/QVM7314_OS.img", app_record("9.0.0.0"));
  const std::string marker =
      "/user/images/rejected/" + kvzsim::md5_hex(board.read("usb/QVM7314_OS.img"));
  const std::string flash1 = "Booting image '1'\n" + kvzsim::app_says("1.1.0.0");
  play(board,
       {{"first boot from the stick: listed, then booted",
         {},
         true,
         "",
         kRanApplication,
         kReady + kNoBoot + kFromStick + kApp9,
         "",
         Lines{kMount, kMd5, kMd5, "mkdir -p /user/images/rejected", "touch " + marker, kUntar,
               kExec}},
        {"again: upper-case answers do not count",
         {},
         true,
         "YNy\n",
         kRanApplication,
         kReady + kNoBoot + kFromStick + kAsk + "(y/n) (y/n) (y/n) " +
             "Continuing to load USB image...\n" + kApp9,
         "",
         Lines{kMount, kMd5, kUntar, kExec}},
        {"again: nobody answers",
         {},
         true,
         "",
         kRanApplication,
         kReady + kNoBoot + kFromStick + kAsk + kTimeout + kGaveUp + flash1},
        {"a stick image failing its check is still listed",
         [](const Board& b) { flip_byte(b, "usb/QVM7314_OS.img", 100); }, true, "", kRanApplication,
         kReady + kNoBoot + kFromStick + kGaveUp + flash1, "USB image CRC failed."},
        {"no stick",
         {},
         false,
         "",
         kRanApplication,
         "Attempting to mount file system on USB flash drive; this can take up to 10 "
         "seconds.\n..........USB mount timed out\n" +
             flash1},
        {"USB boot byte not 213: not a word", [](const Board& b) { b.set_vpd(315, 212); }, true, "",
         kRanApplication, flash1, "", Lines{kMount, kUntar, kExec}}});
  EXPECT_TRUE(
      board.exists("user/images/rejected/" + kvzsim::md5_hex(board.read("usb/QVM7314_OS.img"))));
}

TEST_P(UsbTest, ReplacementsAndBootLoaderBundles) {
  Board board;
  const Bytes app2 = app_record("2.5.0.0"), app1 = app_record("1.5.0.0");
  board.write("usb/QVM7314_replace2_OS.img", app2);
  board.write("usb/QVM7314_replace1_OS.img", app1);
  const Bytes uboot = uboot_record(0x02050000, 0x20000, 3),
              bare = other_record(kMagicBootLoader, 300);
  const std::string bundle_written =
      kReady + kBootFound + kExtract + "Installing Boot Loader: " + flash_progress(2) +
      "Installing Diagnostics: " + flash_progress(1) + "done\nFile processed\n";
  const std::string bare_written = kReady + kBootFound + kExtract +
                                   "Installing Boot Loader: " + flash_progress(1) +
                                   "File processed\n";
  const auto stick_boot = [&](const Board& b) {
    b.write("usb/QVM7314_OS.img", app_record("9.0.0.0"));
    b.write("usb/QVM7314_Boot.img", concat({uboot, diags_record("3.0.0.0")}));
  };
  play(board, {{"both replacements: slot 1 last, and selected",
                {},
                true,
                "",
                kRanApplication,
                kReady + kNoBoot + replaced(2, app2.size()) + replaced(1, app1.size()) +
                    "USB replacement image: board will boot with image1.\nBooting image '1'\n" +
                    kvzsim::app_says("1.5.0.0")},
               {"a boot-loader bundle: installed, then the board resets", stick_boot, true, "",
                kRebooted, bundle_written},
               {"next power-on: skipped, the stick's image boots",
                {},
                true,
                "",
                kRanApplication,
                kReady + kBootFound + kExtract + "Installing Boot Loader: " + kSame +
                    "Installing Diagnostics: " + kSame + "File processed\n" + skipped(2) +
                    skipped(1) + kFromStick + kApp9},
               {"a boot loader without the copy of its header: installed at every start",
                [&](const Board& b) { b.write("usb/QVM7314_Boot.img", bare); }, true, "", kRebooted,
                bare_written},
               {"and again", {}, true, "", kRebooted, bare_written},
               {"a rejected replacement declined",
                [](const Board& b) {
                  b.remove("usb/QVM7314_Boot.img");
                  b.write("usb/QVM7314_replace2_OS.img", b.read("usb/QVM7314_OS.img"));
                },
                true, "n\n", kRanApplication,
                kReady + kNoBoot +
                    "USB image (file 'QVM7314_replace2_OS.img') replacement for image2 "
                    "found\nReplacement " +
                    kAsk + "(y/n) Booting image '1'\n" + kvzsim::app_says("1.5.0.0")}});
  EXPECT_EQ(board.vpd(kSelectedSlot), 1);
  EXPECT_EQ(kvztest::slice(board.read("flash/uboot"), 0, 300), kvztest::slice(bare, 16, 300));
}

// A power cut at several points of a replacement and of a boot-loader bundle with a diagnostics
// record: without the stick the board still boots, and with it the install completes.
TEST_P(UsbTest, PowerCutsDuringInstallsFromTheStick) {
  const Bytes app = big_app_record("2.6.0.0"), uboot = uboot_record(0x02060000, 0x20000, 4);
  const Bytes diags = diags_record("3.1.0.0");
  const struct {
    std::string fault, file;
    Bytes content;
    std::vector<std::pair<std::string, Bytes>> left;
  } cuts[] = {{"power_cut_user_write=1", "QVM7314_replace2_OS.img", app, {{kImage2, app}}},
              {"power_cut_user_write=4", "QVM7314_replace2_OS.img", app, {{kImage2, app}}},
              {"power_cut_flash_write=64",
               "QVM7314_Boot.img",
               concat({uboot, diags}),
               {{"flash/uboot", kvztest::slice(uboot, 16, 0x20000)}, {"flash/rescue", diags}}},
              {"power_cut_flash_write=129",
               "QVM7314_Boot.img",
               concat({uboot, diags}),
               {{"flash/uboot", kvztest::slice(uboot, 16, 0x20000)}, {"flash/rescue", diags}}}};
  for (const auto& c : cuts) {
    SCOPED_TRACE(c.fault);
    Board board;
    board.set_vpd(315, 213);
    board.write("usb/" + c.file, c.content);
    EXPECT_EQ(run(board, {"--usb", "--fault", c.fault}).status, kOtherEnd);
    EXPECT_EQ(run(board).status, kRanApplication);  // the stick is out
    EXPECT_NE(run(board, {"--usb"}).out.find("File processed\n"), std::string::npos);
    for (const auto& [file, bytes] : c.left)
      EXPECT_EQ(kvztest::slice(board.read(file), 0, bytes.size()), bytes) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, UsbTest, ::testing::ValuesIn(kvzsim::targets()),
                         kvzsim::TargetName());

}  // namespace
