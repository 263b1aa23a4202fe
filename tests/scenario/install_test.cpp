// The rescue menu and the bundle installer: the menu dialogue, the USB picker, the serial
// download, and installs into flash partitions and slot files with their failures.
#include <dirent.h>
#include <sys/stat.h>

#include "boot_fixture.h"

using namespace boottest;
using kvztest::pattern;

// The scenario tables are laid out by hand, a row of fields to a line where it fits.
// clang-format off
namespace {

const std::string kAskSlot = "Install image as image 1 or 2 (hit return to just boot image): ";
const std::string kInit =
    "Running xmodem rescue.....\n       Change the baud rate to 115200 bps and hit the <ENTER> "
    "key\n       before initiating the download.\n";
const std::string kReset = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
const std::string kErase =
    "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ";
const std::string kDiagsBoot =
    "Booting diags image...\nLaunching diagnostics image\n"
    "install diags image\n" +
    diags_says("1.0.0.0");

std::string opt(const std::string& key) {
  return "\nOption? : " + key + "\n";
}

// The entries of the stick that the picker numbers, in the order the directory gives them.
std::string stick_listing(const Board& b, std::vector<std::string>* names) {
  std::string text;
  DIR* d = opendir(b.path("usb").c_str());
  while (const dirent* e = readdir(d)) {
    struct stat st;
    if (lstat((b.path("usb/") + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    names->push_back(e->d_name);
    text += "\t" + std::to_string(names->size()) + ": " + e->d_name + "\n";
  }
  closedir(d);
  return text + "Choose file number to install (q to quit): ";
}

class InstallTest : public BootTest {
 protected:
  // Installs with the installer itself, through the stand-in launcher.
  Boot install(const Board& b, const std::string& script, const Lines& faults = {}) {
    return run_storage(b, GetParam(), "flash_init\ni2c_init\n" + script, faults);
  }
};

using E = Exchange;

// Keys in either case, a key that is no option, Ctrl-C at the menu and at the picker, the
// versions, a serial download that brings nothing (a file left from earlier is not installed),
// and the diagnostics with /user wiped first.
TEST_P(InstallTest, MenuDialogue) {
  const auto versions = [](const Board& b) {
    b.patch("flash/uboot", 252, {2, 3, 4, 5});
    b.patch("flash/rfs", 12, {4, 5, 6, 7});
    b.patch("flash/kernel", 12, {3, 4, 5, 6});
    b.patch("flash/devicetree", 12, {5, 6, 7, 8});
    b.patch(kImage1, 12, {1, 2, 3, 4});
  };
  const auto wiped = [](const Board& b) {
    EXPECT_FALSE(b.exists(kImage1));
    EXPECT_TRUE(b.exists("user/images"));
  };
  run_scenario({
      .what = "menu", .setup = steps({env({"diagnostics=rescue"}), versions, drop(kImage2)}),
      .options = fault("fail_system=/usr/bin/rx"),
      .dialog = {{"? : ", "q"}, {"? : ", "\x03"}, {"? : ", "H"}, {"? : ", "u"}, {"quit): ", "\x03"},
                 {"? : ", "stale download", E::kTmpImage}, {"", "x"},
                 {"download.\n", "\r", E::kSerial}, {kReset, "\n", E::kSerial}, {"? : ", "d"},
                 {kErase, "y"}},
      .time_scale = 5,  // the serial line's Enter comes before the 11 s reminder
      .want = {0, "Entering Rescue Mode.\n" + kMenu + opt("q") + "unknown option \"Q\". Please try "
                  "again\n" + opt(std::string(1, '\0')) + opt("H") + "Installed images versions: \n"
                  "\tBoot image  : 2.3.4.5\n\tRFS image   : 4.5.6.7\n\tKernel image: 3.4.5.6\n"
                  "\tDFT image   : 5.6.7.8\n\tOS image 1  : 1.2.3.4\n\tOS image 2  : 0.0.0.0\n" +
                  kMenu + opt("u") + "Choose file number to install (q to quit): \n" + kMenu +
                  opt("x") + kInit + kReset + kMenu + opt("d") + kErase + "\nunmount filesystem\n"
                  "\nErasing filesystem for clean install\nMounting...\n"
                  "creating default filesystem\n" +
                  kDiagsBoot, "",
               {kMount, "/usr/bin/rx /tmp/image", "/bin/umount /user &> /dev/null",
                "flash_eraseall /dev/mtd-user-char",
                "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
                "mkdir /user/images &> /dev/null", kUntar, kMkdirDiags, kMoveDiags, kExec}},
      .check = wiped}, GetParam());
}

// The diagnostics boot option asks before wiping /user; any key but y keeps it. When a record
// booted from the menu cannot be unpacked, a download is cancelled (its partial file removed),
// the stick cannot be read or there is no serial line, the menu comes back: its Exit, or the
// console's end, boots the slots.
TEST_P(InstallTest, DiagnosticsOptionKeepsUserUnlessConfirmed) {
  const auto unpack_fails = [](const std::string& fault, int err) {
    return Scenario{
        .what = "unpack fails, then Exit: " + fault,
        .setup = steps({env({"diagnostics=rescue"}), put("usb/b.img", app_record("9.0.0.0"))}),
        .options = {"--usb", "--fault", fault},
        .dialog = {{"? : ", "u"}, {"quit): ", "1\n"}, {kAskSlot, "\n"}, {"? : ", "e"}},
        .want = {0, "Entering Rescue Mode.\n" + kMenu + opt("u") + "\t1: b.img\nChoose file number "
                    "to install (q to quit): 1\nInstalling b.img\n" + kExtract + "Installing "
                    "Application: " + kAskSlot + "\nBooting downloaded image\nImage unpack failed "
                    "(err " + std::to_string(err) + ")\n" + kMenu + opt("e") + kBooting + kApp1,
                 "", kApp}};
  };
  run_all({
      {.what = "diagnostics option", .setup = env({"diagnostics=diags"}), .dialog = {{kErase, "N"}},
       .want = {0, kErase + "\n" + kDiagsBoot, "", kDiags},
       .check = [](const Board& b) { EXPECT_TRUE(b.exists(kImage1)); }},
      unpack_fails("fail_open=/tmp/kavosimage.tar.gz:1", 13),  // the archive
      unpack_fails("fail_read=/mnt/usb/b.img:3", 5),            // the stick, while unpacking
      {.what = "menu, console at its end", .setup = env({"diagnostics=rescue"}),
       .closed_console = true,
       .want = {0, "Entering Rescue Mode.\n" + kMenu + opt(std::string(1, '\0')) + kBooting + kApp1,
                "", kApp}},
      {.what = "download cancelled (block 2 first)", .setup = env({"diagnostics=rescue"}),
       .options = fault("no_rx=1"),
       .dialog = {{"? : ", "X"}, {"download.\n", "\r", E::kSerial},
                  {"", "\x01\x02\xfd", E::kSerial}, {kReset, "\n", E::kSerial},
                  {"? : ", "e"}},
       .time_scale = 5,
       .want = {0, "Entering Rescue Mode.\n" + kMenu + opt("X") + kInit + kReset + kMenu +
                   opt("e") + kBooting + kApp1, "", kApp},
       .check = [](const Board& b) { EXPECT_FALSE(b.exists("tmp/image")); }},
      {.what = "stick unreadable",
       .setup = steps({env({"diagnostics=rescue"}),
                       [](const Board& b) { chmod(b.path("usb").c_str(), 0); }}),
       .options = kvzsim::Lines{"--usb"}, .dialog = {{"? : ", "u"}, {"? : ", "e"}},
       .want = {0, "Entering Rescue Mode.\n" + kMenu + opt("u") + "Unable to open USB directory. "
                   "Quitting\n" + kMenu + opt("e") + kBooting + kApp1, "", kApp}},
      {.what = "no serial line", .setup = env({"diagnostics=rescue"}),
       .options = {"--serial", "none", "--fault", "no_rx=1"},
       .dialog = {{"? : ", "X"}, {"? : ", "e"}},
       .want = {0, "Entering Rescue Mode.\n" + kMenu + opt("X") + "Running xmodem rescue.....\n" +
                   kMenu + opt("e") + kBooting + kApp1,
                "Can't open serial port!: No such file or directory\n", kApp}},
  });
}

// The picker numbers files and links but not directories, takes 2abc as 2, quits on q or a
// number it has no file for, and hands the file to the installer: a bundle whose application
// records both go to the slot answered, a bundle sent by sx to the launcher's own receiver (the
// board has no rx), and a bundle booted without installing.
TEST_P(InstallTest, UsbPickerAndSerialDownload) {
  Board board;
  board.set_env({"diagnostics=rescue"});
  mkdir(board.path("usb/dir").c_str(), 0755);
  ASSERT_EQ(symlink("dir", board.path("usb/link to dir").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", board.path("usb/dangling").c_str()), 0);
  const Bytes kernel = make_record(kMagicKernel, 0x03000001, pattern(70000, 3));
  const Bytes dtb = make_record(kMagicDeviceTree, 0x05000001, pattern(3000, 4));
  const Bytes app_a = app_record("7.0.0.0"), app_b = big_app_record("7.0.0.1");
  const Bytes sent = app_record("5.0.0.0");
  const std::string multi = "a %s 'b\"\nc.img", single = std::string(251, 'x') + ".img";
  board.write("usb/" + multi, concat({kernel, other_record(0x094B565A, 100), app_a, app_b, dtb}));
  board.write("usb/" + single, app_record("8.0.0.0"));
  board.write("user/sent", sent);
  std::vector<std::string> names;
  const std::string listing = stick_listing(board, &names);
  const auto num = [&](const std::string& name) {
    return std::to_string(std::find(names.begin(), names.end(), name) - names.begin() + 1);
  };
  const std::string menu_u = kMenu + opt("u") + listing, install_app = "Installing Application: ";
  run_story(board, {{
      .what = "picker", .options = {"--usb", "--fault", "no_rx=1"},
      .dialog = {{"? : ", "u"}, {"quit): ", "x\n"}, {"pleas\n", "\n"}, {"pleas\n", "99\n"},
                 {"? : ", "U"}, {"quit): ", "0\n"}, {"? : ", "u"}, {"quit): ", "Q\n"},
                 {"? : ", "u"},
                 {"quit): ", num(multi) + "\n"}, {kAskSlot, "1\n"}, {"? : ", "X"},
                 {"download.\n", "\r", E::kSerial}, {"", "user/sent", E::kXmodem},
                 {kReset, "\n", E::kSerial}, {kAskSlot, "2\n"}, {"? : ", "u"},
                 {"quit): ", num(single) + "abc\n"}, {kAskSlot, "\n"}},
      .time_scale = 2,
      .want = {0, "Entering Rescue Mode.\n" + menu_u + "x\nInvalid file number x. Try again "
                  "pleas\n\nInvalid file number . Try again pleas\n99\n" + kMenu + opt("U") +
                  listing + "0\n" +
                  menu_u + "Q\n" + menu_u + num(multi) + "\nInstalling " + multi + "\n" + kExtract +
                  "Installing Kernel: " + flash_progress(2) + install_app + kAskSlot + "1\n" +
                  slot_written(1, app_a.size()) + install_app + slot_written(1, app_b.size()) +
                  "Installing Device Tree: " + flash_progress(1) + "File processed\n" + kMenu +
                  opt("X") + kInit + kReset + kExtract + install_app + kAskSlot + "2\n" +
                  slot_written(2, sent.size()) + "File processed\n" + menu_u + num(single) +
                  "abc\nInstalling " + single + "\n" + kExtract + install_app + kAskSlot +
                  "\nBooting downloaded image\nImage ready to boot...\n" + app_says("8.0.0.0"),
               "EOT\nAll done\n", kApp}}}, GetParam());
  EXPECT_EQ(kvztest::slice(board.read("flash/kernel"), 0, kernel.size()), kernel);
  EXPECT_EQ(kvztest::slice(board.read("flash/devicetree"), 0, dtb.size()), dtb);
  EXPECT_EQ(board.read(kImage1), app_b);
  EXPECT_EQ(board.read(kImage2), sent);
  EXPECT_EQ(board.vpd(kSelectedSlot), 2);
}

// The installer itself: limits, failures, records skipped as the same version, and the bytes
// left. Each session asks for a missing file, then installs a.img into slot 2, then b.img with
// same-version skipping; the VPD is never touched.
TEST_P(InstallTest, InstallerRows) {
  const Bytes kernel_max = make_record(kMagicKernel, 0x03000001, pattern(0x300000 - 16, 3));
  const Bytes kernel_over = make_record(kMagicKernel, 0x03000002, pattern(0x300000 - 15, 4));
  const Bytes uboot_max = uboot_record(0x02000003, 0x80000, 5);
  const Bytes uboot_over = uboot_record(0x02000004, 0x80001, 6);
  const Bytes uboot_rebuilt = uboot_record(0x02000003, 0x80000, 7);  // same version
  const Bytes dtb = make_record(kMagicDeviceTree, 0x05000001, pattern(3000, 8));
  const Bytes rfs = make_record(kMagicRootFs, 0x04000001, pattern(3000, 9));
  const Bytes diags = diags_record("9.0.0.0"), app = app_record("9.0.0.0");
  const Bytes kernel = make_record(kMagicKernel, 0x02000000, pattern(150000, 10));
  const auto over = [](uint32_t type, uint32_t limit) {
    return make_record(type, 0x01000000, pattern(limit - 15, 1));
  };
  const auto flipped = [](Bytes b) {
    b[100] ^= 1;
    return b;
  };
  // What "Bad crc" names: the checksum of the record's bytes (0 for one the bundle cuts short).
  const auto crc = [](const Bytes& b) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x",
             gen_crc(b.data() + 4, static_cast<uint32_t>(b.size() - 4), kCrcInit));
    return std::string(text);
  };
  const Bytes bad = flipped(diags), bad_app = flipped(app), bad_kernel = flipped(kernel);
  const Bytes bad_dtb = flipped(dtb), bad_rfs = flipped(rfs), bad_uboot = flipped(uboot_max);
  const Bytes cut_short = kvztest::slice(kernel, 0, 1000);
  const std::string skipped = "Image has same version as existing image. Skipping update...\n";
  struct Row {
    const char* what;
    Bytes a, b;
    Lines faults;
    std::string out;
    std::vector<std::pair<std::string, Bytes>> left;  // file prefixes afterwards
  };
  const Row rows[] = {
      {"limits", concat({dtb, kernel_max, kernel_over}), {}, {},
       "Installing Device Tree: " + flash_progress(1) + "Installing Kernel: " + flash_progress(48) +
       "Installing Kernel: KERNEL image is too big for flash (3145729 > 3145728)\ninstall=0\n",
       {{"flash/devicetree", dtb}, {"flash/kernel", kernel_max}}},
      {"boot loader", concat({uboot_max, uboot_over}), uboot_rebuilt, {},
       "Installing Boot Loader: " + flash_progress(8) + "Installing Boot Loader: UBOOT image is "
       "too big for flash (524289 > 524288)\ninstall=0\n" + kExtract + "Installing Boot Loader: " +
       skipped + "File processed\ninstall=0\n",
       {{"flash/uboot", kvztest::slice(uboot_max, 16, 0x80000)}}},
      {"bad checksums", bad, bad_app, {},
       "Installing Diagnostics: Bad crc for DIAGNOSTICS IMAGE: " + crc(bad) + ", voiding download\n"
       "install=0\n" + kExtract + "Installing Application: Bad crc for APPLICATION: " +
       crc(bad_app) + ", voiding download\ninstall=0\n", {}},
      {"bad checksums of flash records", bad_kernel, bad_dtb, {},
       "Installing Kernel: Bad crc for KERNEL: " + crc(bad_kernel) + ", voiding download\n"
       "install=0\n" + kExtract + "Installing Device Tree: Bad crc for DFT: " + crc(bad_dtb) +
       ", voiding download\ninstall=0\n", {}},
      {"more bad checksums", bad_rfs, bad_uboot, {},
       "Installing Root Filesystem: Bad crc for RFS: " + crc(bad_rfs) + ", voiding download\n"
       "install=0\n" + kExtract + "Installing Boot Loader: Bad crc for UBOOT: " + crc(bad_uboot) +
       ", voiding download\ninstall=0\n", {}},
      {"no record, a record cut short", Bytes(10, 'x'), cut_short, {},
       "File processed\ninstall=0\n" + kExtract + "Installing Kernel: Bad crc for KERNEL: "
       "0x00000000, voiding download\ninstall=0\n", {}},
      {"too big", over(kMagicDeviceTree, 0x40000), over(kMagicRootFs, 0xF00000), {},
       "Installing Device Tree: DFT image is too big for flash (262145 > 262144)\ninstall=0\n" +
       kExtract + "Installing Root Filesystem: RFS image is too big for flash (15728641 > "
       "15728640)\ninstall=0\n", {}},
      {"write fails, too big", dtb, over(kMagicDiagnostics, 0xA00000),
       {"fail_mtd_write=devicetree:1"},
       "Installing Device Tree:      Flash Write mtd write failed.\n\nDFT image update failed\n"
       "install=0\n" + kExtract + "Installing Diagnostics: DIAGS image is too big for flash "
       "(10485761 > 10485760)\ninstall=0\n", {}},
      {"boot loader write fails", uboot_max, {}, {"fail_mtd_write=uboot:1"},
       "Installing Boot Loader:      Flash Write mtd write failed.\n\nUboot image update failed\n"
       "install=0\n", {}},
      // Rebuilt at the same version, its header is on flash already and is cleared first (write
      // 513): that may fail, and the record is written whole all the same.
      {"stale header not cleared", concat({uboot_max, uboot_rebuilt}), {}, {"fail_mtd_write=uboot:513"},
       "Installing Boot Loader: " + flash_progress(8) + "Installing Boot Loader: Flash Write mtd "
       "write failed.\n\n" + flash_progress(8) + "File processed\ninstall=1\n",
       {{"flash/uboot", kvztest::slice(uboot_rebuilt, 16, 0x80000)}}},
      {"bundle read fails while copying", app, {}, {"fail_read=/user/a.img:3"},
       "Installing Application: Installing image as image2:     Image2 update failed (err 5)\n"
       "install=0\n", {}},
      {"diagnostics write fails", diags, {}, {"fail_mtd_write=rescue:1"},
       "Installing Diagnostics:      Flash Write mtd write failed.\n\nDIAGS image update failed\n"
       "install=0\n", {}},
      // An erase cut off half way fails the record; the install repeated writes it whole.
      {"half-erased block", kernel, kernel, {"half_erase_mtd=kernel:2"},
       "Installing Kernel:      \b\b\b\b000%Flash Write mtd erase failed.\n\nkernel image update "
       "failed\ninstall=0\n" + kExtract + "Installing Kernel: " + flash_progress(3) +
       "File processed\ninstall=1\n", {{"flash/kernel", kernel}}},
      {"unknown record between", concat({rfs, other_record(0x074B565A, 50), diags}), {}, {},
       "Installing Root Filesystem: " + flash_progress(1) + "Installing Diagnostics: " +
       flash_progress(1) + "done\nFile processed\ninstall=1\n",
       {{"flash/rfs", rfs}, {"flash/rescue", diags}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Board board;
    const Bytes vpd = board.read("eeprom/vpd.bin");
    board.write("user/a.img", row.a);
    board.write("user/b.img", row.b);
    std::string script = "install /user/none.img 0 2\ninstall /user 0 2\ninstall /user/a.img 0 2\n";
    if (!row.b.empty()) script += "install /user/b.img 1 2\n";
    EXPECT_EQ(install(board, script, row.faults).out,
              "flash_init=0\ni2c_init=0\nUnable to open image file /user/none.img\ninstall=0\n"
              "Unable to open image file /user\ninstall=0\n" +
                  kExtract + row.out);
    for (const auto& [file, bytes] : row.left)
      EXPECT_EQ(kvztest::slice(board.read(file), 0, bytes.size()), bytes) << file;
    EXPECT_EQ(board.read("eeprom/vpd.bin"), vpd);
  }
}

// A boot loader rebuilt at the same version carries the header already on flash: cut short by a
// power failure, its install must not pass for done when repeated with same-version skipping.
TEST_P(InstallTest, PowerCutInstallIsRepeated) {
  const Bytes uboot = uboot_record(0x02000003, 0x20000, 6);
  Board board;
  board.patch("flash/uboot", 0, kvztest::slice(uboot_record(0x02000003, 0x20000, 5), 16, 0x20000));
  board.write("user/a.img", uboot);
  EXPECT_EQ(install(board, "install /user/a.img 0 1\n", {"power_cut_flash_write=100"}).status,
            kOtherEnd);
  EXPECT_NE(install(board, "install /user/a.img 1 1\n").out.find("install=1\n"), std::string::npos);
  EXPECT_EQ(kvztest::slice(board.read("flash/uboot"), 0, 0x20000),
            kvztest::slice(uboot, 16, 0x20000));
}

INSTANTIATE_TEST_SUITE_P(Targets, InstallTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
// clang-format on
