// Failure roads that no other scenario takes: files that cannot be opened or created, USB images
// that cannot be read or hold nothing to boot, a digest that cannot be computed, and the
// installer's refusals. Each row injects one failure and expects the launcher's exact words.
// tests/failures.md lists every failure of the launcher with the test that injects it.
#include "boot_fixture.h"

using namespace boottest;

namespace {

const std::string kBooting = "Booting image '1'\n";
const std::string kApp1 = app_says("1.1.0.0");
const std::string kNoSlots =
    "Failed to open Application image 1. Trying image 2.\n"
    "Failed to open Application image 2. Trying rescue image\n";
const std::string kReady =
    "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\nUSB "
    "mounted and ready!\nNo boot image found on USB.\n";
const std::string kUsbFailed = "USB Boot failed. Trying flash images.\n" + kBooting + kApp1;
const std::string kMd5 = "/bin/busybox md5sum /mnt/usb/QVM7314_OS.img > /tmp/img_md5string";
const Lines kApp = {kMount, kUntar, kExec};

std::vector<std::string> failing_open(const std::string& spec) {
  return {"--fault", "fail_open=" + spec};
}

// USB boot enabled and the stick holding `image` as the image to boot.
Prepare stick_image(const Bytes& image) {
  return steps({[](const Board& b) { b.set_vpd(315, 213); }, put("usb/QVM7314_OS.img", image)});
}

class FailureRowsTest : public BootTest {};

TEST_P(FailureRowsTest, FilesThatCannotBeOpened) {
  const Prepare no_slots = drop("user/images");
  const Prepare rescue_app = [](const Board& b) {
    b.patch("flash/rescue", 0, app_record("4.0.0.0"));
  };
  run_all({
      {.what = "archive of a slot",
       .options = failing_open("/tmp/kavosimage.tar.gz"),
       .want = {kRebooted, kBooting, "Failed to open application image output file.\n",
                Lines{kMount, kReboot}}},
      {.what = "archive of the rescue partition",
       .setup = no_slots,
       .options = failing_open("/tmp/kavosimage.tar.gz"),
       .want = {kRebooted, kBooting, kNoSlots + "Failed to open DuzIZ tarfile.\n",
                Lines{kMount, kReboot}}},
      {.what = "archive of the diagnostics, opened again",
       .setup = no_slots,
       .options = failing_open("/tmp/kavosimage.tar.gz:2"),
       .want = {kRebooted, kBooting + "Launching diagnostics image\n",
                kNoSlots + "Failed to open diags image file.\n", Lines{kMount, kReboot}}},
      {.what = "copy of the recovery image",
       .setup = steps({no_slots, rescue_app}),
       .options = failing_open("/tmp/image"),
       .dialog = {Exchange{"just boot image): ", "1\n"}},
       .want = {kRebooted,
                kBooting +
                    "Install recovery image as image 1 or 2 (hit return to just boot image): "
                    "1\n\nInstalling recovery image as image1...\n",
                kNoSlots + "Failed to open image file.\n", Lines{kMount, kReboot}}},
      {.what = "archive of a record booted from the menu without installing it",
       .setup = steps({env({"diagnostics=rescue"}), put("usb/b.img", app_record("9.0.0.0"))}),
       .options = {"--usb", "--fault", "fail_open=/tmp/kavosimage.tar.gz"},
       .dialog = {Exchange{"? : ", "u"}, Exchange{"quit): ", "1\n"},
                  Exchange{"just boot image): ", "\n"}, Exchange{"? : ", "e"}},
       .want = {kRebooted,
                "Entering Rescue Mode.\n" + kMenu +
                    "\nOption? : u\n\t1: b.img\nChoose file number to install (q to quit): "
                    "1\nInstalling b.img\n" +
                    kExtract +
                    "Installing Application: Install image as image 1 or 2 (hit return to just "
                    "boot image): \nBooting downloaded image\nImage unpack failed (err 13)\n" +
                    kMenu + "\nOption? : e\n" + kBooting,
                "Failed to open application image output file.\n", Lines{kMount, kReboot}}},
      {.what = "debugger",
       .setup = env({"gdb=on"}),
       .options = failing_open("/tmp/gdb.gz"),
       .want = {kRanApplication,
                kBooting +
                    "Extracting GDB from image slot 2\n**** GDB mode selected but GDB not "
                    "available. Please install GDB image ***\n" +
                    kApp1,
                "Failed to open GDB output file.\n", kApp}},
  });
}

TEST_P(FailureRowsTest, UsbImagesThatCannotBeBooted) {
  const Bytes kernel_only = other_record(kMagicKernel, 100);
  run_all({
      {.what = "image that cannot be opened",
       .setup = stick_image(app_record("9.0.0.0")),
       .options = {"--usb", "--fault", "fail_open=/mnt/usb/QVM7314_OS.img"},
       .want = {kRanApplication,
                kReady + "Booting image 'QVM7314_OS.img' from USB stick.\n" + kUsbFailed,
                "Failed to open application image from USB.\n", kApp}},
      {.what = "image without a bootable record, listed all the same",
       .setup = stick_image(kernel_only),
       .options = {"--usb"},
       .want = {kRanApplication,
                kReady + "Booting image 'QVM7314_OS.img' from USB stick.\n" + kUsbFailed,
                "Error: USB image corrupted or belongs to another switch type.\n",
                Lines{kMount, kMd5, kMd5, "mkdir -p /user/images/rejected",
                      "touch /user/images/rejected/" + md5_hex(kernel_only), kUntar, kExec}}},
      {.what = "digest that cannot be computed",
       .setup = stick_image(app_record("9.0.0.0")),
       .options = {"--usb", "--fault", "fail_system=/bin/busybox"},
       .want = {kRanApplication,
                kReady +
                    "Booting image 'QVM7314_OS.img' from USB stick.\nWarning: Cannot determine if "
                    "image is in rejected list!\nWarning: Cannot add image to rejected list!\n" +
                    app_says("9.0.0.0"),
                "", Lines{kMount, kMd5, kMd5, kUntar, kExec}}},
      {.what = "a stick with nothing to take",
       .setup = [](const Board& b) { b.set_vpd(315, 213); },
       .options = {"--usb"},
       .want = {kRanApplication, kReady + "No valid image found on USB\n" + kBooting + kApp1, "",
                kApp}},
  });
}

// The installer's own refusals, through the stand-in that calls it with a slot given.
TEST_P(FailureRowsTest, InstallerRefusals) {
  Board board;
  Bytes bad = app_record("9.0.0.0");
  bad[100] ^= 1;
  char crc[16];
  snprintf(crc, sizeof crc, "0x%08x",
           gen_crc(bad.data() + 4, static_cast<uint32_t>(bad.size() - 4), kCrcInit));
  board.write("user/bad.img", bad);
  board.write("user/good.img", app_record("9.0.0.0"));
  const Boot r = run_script(board, GetParam(), "kvzsim_storage",
                            "install /user/bad.img 0 1\ninstall /user/none.img 0 1\n"
                            "install /user/good.img 0 1\n",
                            {"--fault", "fail_open=/user/images/image1"});
  EXPECT_EQ(r.out, kExtract + "Installing Application: Bad crc for APPLICATION: " + crc +
                       ", voiding download\ninstall=0\nUnable to open image file "
                       "/user/none.img\ninstall=0\n" +
                       kExtract +
                       "Installing Application: Installing image as image1: Image1 update "
                       "failed (err 13)\ninstall=0\n");
}

INSTANTIATE_TEST_SUITE_P(Targets, FailureRowsTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
