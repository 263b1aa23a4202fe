// Booting and updating from a USB stick: the stick's image and the rejected list, replacement
// images, boot-loader bundles, and installs from the stick cut short by a power failure.
#include "boot_fixture.h"

using namespace boottest;

// The scenario tables are laid out by hand, a row of fields to a line where it fits.
// clang-format off
namespace {

const std::string kReady =
    "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\nUSB "
    "mounted and ready!\n";
const std::string kNoBoot = kReady + "No boot image found on USB.\n";
const std::string kBootFound = kReady + "Boot image found on USB.\n";
const std::string kFromStick = "Booting image 'QVM7314_OS.img' from USB stick.\n";
const std::string kAsk = "USB image is in rejected list.\nWould you still like to load it? ";
const std::string kGaveUp = "USB Boot failed. Trying flash images.\n" + kBooting + kApp1;
const std::string kSame = "Image has same version as existing image. Skipping update...\n";
const std::string kApp9 = app_says("9.0.0.0");
const std::vector<std::string> kStick = {"--usb"};

// The digest of a stick file, to look it up on the rejected list.
std::string md5(const std::string& name) {
  return "/bin/busybox md5sum /mnt/usb/QVM7314_" + name + ".img > /tmp/img_md5string";
}
const std::string kMd5 = md5("OS");

// The commands of a stick image that is not listed yet: put on the list, then unpacked.
Lines listed(const Bytes& image, Lines before = {kMount, kMd5, kMd5}) {
  before.insert(before.end(), {"mkdir -p /user/images/rejected",
                               "touch /user/images/rejected/" + md5_hex(image), kUntar, kExec});
  return before;
}

std::string replacement(int slot) {
  const std::string n = std::to_string(slot);
  return "USB image (file 'QVM7314_replace" + n + "_OS.img') replacement for image" + n +
         " found\n";
}

std::string replaced(int slot, size_t size) {
  const std::string n = std::to_string(slot);
  return replacement(slot) + kExtract + "Installing Application: " + slot_written(slot, size) +
         "File processed\nImage" + n + " has been successfully replaced\n";
}

std::string skipped(int slot) {
  const std::string n = std::to_string(slot);
  return replacement(slot) + kExtract + "Installing Application: Installing image as image" + n +
         ": Image" + n + kSame.substr(5) + "File processed\n";
}

class UsbTest : public BootTest {};

// One board, power-up after power-up, USB boot enabled. An image is listed before it is booted,
// even one with no bootable record or failing its check (one that cannot be listed boots all the
// same); when it comes again only y boots it.
TEST_P(UsbTest, StickImageAndTheRejectedList) {
  const Bytes app = app_record("9.0.0.0"), kernel_only = other_record(kMagicKernel, 100);
  Bytes flipped = app;
  flipped[100] ^= 0xFF;
  const std::string put_os = "usb/QVM7314_OS.img";
  const auto declined = [](const std::string& asked) {
    return Expect{0, kNoBoot + kFromStick + kAsk + asked + "\nTimeout. Assuming \"no\".\n" +
                         kGaveUp, "", Lines{kMount, kMd5, kUntar, kExec}};
  };
  run_story(Board(), {
      {.what = "nothing to take", .setup = [](const Board& b) { b.set_vpd(315, 213); },
       .options = kStick,
       .want = {0, kNoBoot + "No valid image found on USB\n" + kBooting + kApp1, "", kApp}},
      {.what = "no digest", .setup = put(put_os, app),
       .options = {"--usb", "--fault", "fail_system=/bin/busybox"},
       .want = {0, kNoBoot + kFromStick + "Warning: Cannot determine if image is in rejected "
                   "list!\nWarning: Cannot add image to rejected list!\n" + kApp9,
                "", Lines{kMount, kMd5, kMd5, kUntar, kExec}}},
      {.what = "cannot be opened",
       .options = {"--usb", "--fault", "fail_open=/mnt/usb/QVM7314_OS.img"},
       .want = {0, kNoBoot + kFromStick + kGaveUp, "Failed to open application image from USB.\n",
                kApp}},
      {.what = "cannot be listed", .options = {"--usb", "--fault", "fail_system=touch"},
       .want = {0, kNoBoot + kFromStick + kApp9, "", listed(app)}},
      {.what = "first boot", .options = kStick,
       .want = {0, kNoBoot + kFromStick + kApp9, "", listed(app)}},
      {.what = "again: upper-case answers do not count", .options = kStick,
       .dialog = {{"(y/n) ", "YNy\n"}},
       .time_scale = 2,  // the question waits 5 s of board time: room to type
       .want = {0, kNoBoot + kFromStick + kAsk + "(y/n) (y/n) (y/n) Continuing to load USB "
                   "image...\n" + kApp9, "", Lines{kMount, kMd5, kUntar, kExec}, "YNy\r\n"}},
      {.what = "again: nobody answers", .options = kStick, .want = declined("(y/n) ")},
      {.what = "again: the console at its end", .options = kStick, .closed_console = true,
       .want = declined("(y/n) (y/n) (y/n) (y/n) ")},
      {.what = "no bootable record", .setup = put(put_os, kernel_only), .options = kStick,
       .want = {0, kNoBoot + kFromStick + kGaveUp,
                "Error: USB image corrupted or belongs to another switch type.\n",
                listed(kernel_only)}},
      {.what = "check fails", .setup = put(put_os, flipped), .options = kStick,
       .want = {0, kNoBoot + kFromStick + kGaveUp, "USB image CRC failed.", listed(flipped)}},
      // After a failed USB boot the flash boot takes the slot selected in the VPD.
      {.what = "stick pulled, slot 2 selected",
       .setup = steps({put(put_os, concat({kernel_only, app})), select_slot(2)}),
       .options = {"--usb", "--fault", "fail_read=/mnt/usb/QVM7314_OS.img:3"},
       .want = {0, kNoBoot + kFromStick + "USB Boot failed. Trying flash images.\nBooting image "
                   "'2'\n" + app_says("1.0.0.0"), "USB image CRC failed.",
                listed(concat({kernel_only, app}))}},
      {.what = "no stick", .setup = select_slot(1),
       .want = {0, "Attempting to mount file system on USB flash drive; this can take up to 10 "
                   "seconds.\n..........USB mount timed out\n" + kBooting + kApp1, "", kApp}},
      {.what = "USB boot byte 212", .setup = [](const Board& b) { b.set_vpd(315, 212); },
       .options = kStick, .want = {0, kBooting + kApp1, "", kApp}},
  }, GetParam());
}

// Replacements for both slots; a boot-loader bundle installed (the board resets), then skipped as
// the same version; one without the copy of its header, installed at every start. Bundles that
// fail their check install nothing and the boot goes on.
TEST_P(UsbTest, ReplacementsAndBootLoaderBundles) {
  const Bytes app2 = app_record("2.5.0.0"), app1 = app_record("1.5.0.0");
  const Bytes uboot = uboot_record(0x02050000, 0x20000, 3),
              bare = other_record(kMagicBootLoader, 300);
  const std::string bare_written =
      kBootFound + kExtract + "Installing Boot Loader: " + flash_progress(1) + "File processed\n";
  const std::string app15 = "Booting image '1'\n" + app_says("1.5.0.0");
  const Lines reset = {kMount, kReboot};
  const std::string md5_2 = md5("replace2_OS"), md5_1 = md5("replace1_OS");
  Board board;
  run_story(board, {
      {.what = "both replacements",
       .setup = steps({[](const Board& b) { b.set_vpd(315, 213); },
                       put("usb/QVM7314_replace2_OS.img", app2),
                       put("usb/QVM7314_replace1_OS.img", app1)}),
       .options = kStick,
       .want = {0, kNoBoot + replaced(2, app2.size()) + replaced(1, app1.size()) +
                   "USB replacement image: board will boot with image1.\n" + app15,
                "", Lines{kMount, md5_2, md5_1, kUntar, kExec}}},
      {.what = "a boot-loader bundle",
       .setup = steps({put("usb/QVM7314_OS.img", app_record("9.0.0.0")),
                       put("usb/QVM7314_Boot.img", concat({uboot, diags_record("3.0.0.0")}))}),
       .options = kStick,
       .want = {kRebooted, kBootFound + kExtract + "Installing Boot Loader: " + flash_progress(2) +
                           "Installing Diagnostics: " + flash_progress(1) +
                           "done\nFile processed\n",
                "", reset}},
      {.what = "next power-on", .options = kStick,
       .want = {0, kBootFound + kExtract + "Installing Boot Loader: " + kSame +
                   "Installing Diagnostics: " +
                   kSame + "File processed\n" + skipped(2) + skipped(1) + kFromStick + kApp9,
                "", listed(app_record("9.0.0.0"), {kMount, md5_2, md5_1, kMd5, kMd5})}},
      {.what = "no header copy", .setup = put("usb/QVM7314_Boot.img", bare), .options = kStick,
       .want = {kRebooted, bare_written, "", reset}},
      {.what = "and again", .options = kStick, .want = {kRebooted, bare_written, "", reset}},
      {.what = "a rejected replacement declined",
       .setup = [](const Board& b) {
         b.remove("usb/QVM7314_Boot.img");
         b.write("usb/QVM7314_replace2_OS.img", b.read("usb/QVM7314_OS.img"));
       },
       .options = kStick, .dialog = {{"(y/n) ", "n\n"}}, .time_scale = 2,
       .want = {0, kNoBoot + replacement(2) + "Replacement " + kAsk + "(y/n) " + app15, "",
                Lines{kMount, md5_2, kUntar, kExec}, "n\r\n"}},
      {.what = "bundles cut short",
       .setup = steps({drop("usb/QVM7314_replace2_OS.img"), drop("usb/QVM7314_OS.img"),
                       put("usb/QVM7314_Boot.img", kvztest::slice(uboot, 0, 1000)),
                       put("usb/QVM7314_replace1_OS.img",
                           kvztest::slice(other_record(kMagicApplication, 5000), 0, 1000))}),
       .options = kStick,
       .want = {0, kBootFound + kExtract + "Installing Boot Loader: Bad crc for UBOOT: 0x00000000, "
                   "voiding download\n" + replacement(1) + kExtract + "Installing Application: Bad "
                   "crc for APPLICATION: 0x00000000, voiding download\nNo valid image found on "
                   "USB\n" + app15, "", Lines{kMount, md5_1, kUntar, kExec}}},
  }, GetParam());
  EXPECT_EQ(board.vpd(kSelectedSlot), 1);
  EXPECT_EQ(kvztest::slice(board.read("flash/uboot"), 0, 300), kvztest::slice(bare, 16, 300));
}

// Power cuts in a replacement of slot 2 and a boot-loader bundle: the board still boots, and with
// the stick the install completes. A boot loader's block 1 is written first (writes 1-64), then
// block 0 with the embedded header: cut there, it must not pass for the new version. A small
// replacement cut after its last write (its header) is skipped as the same version, and boots.
TEST_P(UsbTest, PowerCutsDuringInstallsFromTheStick) {
  const Bytes app = big_app_record("2.6.0.0"), small = app_record("2.6.0.0");
  const Bytes uboot = uboot_record(0x02060000, 0x20000, 4), diags = diags_record("3.1.0.0");
  const Bytes bundle = concat({uboot, diags}), uboot_flash = kvztest::slice(uboot, 16, 0x20000);
  const std::string replace = "QVM7314_replace2_OS.img", boot = "QVM7314_Boot.img";
  const struct {
    std::string fault, file;
    Bytes content;
    std::vector<std::pair<std::string, Bytes>> left;
  } cuts[] = {
      {"power_cut_user_write=1", replace, app, {{kImage2, app}}},
      {"power_cut_user_write=4", replace, app, {{kImage2, app}}},
      {"power_cut_user_write=2", replace, small, {{kImage2, small}}},
      {"power_cut_flash_write=65", boot, bundle, {{"flash/uboot", uboot_flash}}},
      {"power_cut_flash_write=127", boot, bundle, {{"flash/uboot", uboot_flash}}},
      {"power_cut_flash_write=129",
       boot,
       bundle,
       {{"flash/uboot", uboot_flash}, {"flash/rescue", diags}}},
  };
  for (const auto& c : cuts) {
    SCOPED_TRACE(c.fault);
    Board board;
    board.set_vpd(315, 213);
    board.write("usb/" + c.file, c.content);
    EXPECT_EQ(run(board, {"--usb", "--fault", c.fault}).status, kOtherEnd);
    EXPECT_EQ(run(board).status, kRanApplication);  // the stick is out
    const Boot again = run(board, kStick);
    EXPECT_NE(again.out.find("File processed\n"), std::string::npos) << again.out;
    for (const auto& [file, bytes] : c.left)
      EXPECT_EQ(kvztest::slice(board.read(file), 0, bytes.size()), bytes) << file;
    if (c.file == replace) {
      EXPECT_TRUE(again.out.ends_with("Booting image '2'\n" + app_says("2.6.0.0"))) << again.out;
      EXPECT_EQ(board.vpd(kSelectedSlot), 2);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, UsbTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
// clang-format on
