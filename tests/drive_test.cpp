// SPDX-License-Identifier: GPL-3.0-or-later
// Windows drives inside disk images: recognised by content, written through
// mtools, refused when a virtual machine holds them or they cannot change.
// Every image is made by the real tools (mkfs.fat, sfdisk, mtools,
// qemu-img) and checked by them (mdir, mtype, fsck.fat).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "drive/Drive.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

const std::string kTools = "MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 ";

test::TPipeRun Sh(const std::string& Command) {
  return test::RunShell(kTools + Command + " 2>&1 </dev/null");
}

std::string Q(const std::string& S) { return test::ShellQuoted(S); }

test::TPipeRun Kvo(const std::string& Args) { return Sh(Q(KVO_CLI_PATH) + " " + Args); }

// Holds a shared lock on one byte of an image, as QEMU does on the images
// of a running virtual machine.
class TVmLock {
 public:
  TVmLock(const std::string& Img, off_t Byte) : Fd_(::open(Img.c_str(), O_RDWR)) {
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_start = Byte;
    fl.l_len = 1;
    Held_ = Fd_ >= 0 && ::fcntl(Fd_, F_OFD_SETLK, &fl) == 0;
  }
  ~TVmLock() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  bool Held() const { return Held_; }

 private:
  int Fd_;
  bool Held_ = false;
};

class DriveTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = xdg_.Root() + "vm/";
    ASSERT_EQ(Sh("mkdir -p " + Q(dir_) + " && convert -size 320x400 gradient:navy-orange " +
                 Q(dir_ + "dawn.png")).Status, 0);
  }
  // An MBR disk of MiB megabytes whose partitions are given to sfdisk;
  // the FAT one at sector Start (Kib KiB long) is formatted with Fat bits.
  std::string Disk(const std::string& Name, int MiB, const std::string& Table, int Fat,
                   long Start, long Kib) {
    std::string img = dir_ + Name;
    std::string cmd = "truncate -s " + std::to_string(MiB) + "M " + Q(img) + " && printf " +
                      Q(Table) + " | sfdisk -q " + Q(img) + " && mkfs.fat -F " + std::to_string(Fat) +
                      (Fat == 32 ? " -s 1" : "") + " --offset " + std::to_string(Start) + " " + Q(img) +
                      " " + std::to_string(Kib) + " >/dev/null";
    EXPECT_EQ(Sh(cmd).Status, 0) << Sh(cmd).Out;
    return img;
  }
  std::string Floppy(const std::string& Name) {
    std::string img = dir_ + Name;
    EXPECT_EQ(Sh("mkfs.fat -F 12 -C " + Q(img) + " 1440 >/dev/null").Status, 0);
    return img;
  }
  // An mtools command on the volume at byte Offset of Img.
  test::TPipeRun M(const std::string& Tool, const std::string& Img, long Offset,
                   const std::string& Args) {
    return Sh(Tool + " -i " + Q(Img + "@@" + std::to_string(Offset)) + " " + Args);
  }
  void Put(const std::string& Img, long Offset, const std::string& Target, const std::string& Bytes) {
    test::WriteWhole(dir_ + "put.tmp", Bytes);
    ASSERT_EQ(M("mcopy -o", Img, Offset, Q(dir_ + "put.tmp") + " " + Q(Target)).Status, 0);
  }
  std::string Type(const std::string& Img, long Offset, const std::string& File) {
    test::TPipeRun r = M("mtype", Img, Offset, Q(File));
    return r.Status == 0 ? r.Out : "<missing>";
  }
  // The three logo files of the volume at Offset of Img, "<missing>" for
  // one that is not there.
  std::vector<std::string> LogoFiles(const std::string& Img, long Offset) {
    std::vector<std::string> files;
    for (const char* l : {"::LOGO.SYS", "::WINDOWS/LOGOW.SYS", "::WINDOWS/LOGOS.SYS"})
      files.push_back(Type(Img, Offset, l));
    return files;
  }
  // fsck.fat -n on the volume, cut out of the disk first.
  void ExpectClean(const std::string& Img, long StartSector, long Sectors) {
    std::string part = dir_ + "part.fsck";
    test::TPipeRun r = Sh("dd if=" + Q(Img) + " of=" + Q(part) + " bs=512 skip=" +
                          std::to_string(StartSector) + " count=" + std::to_string(Sectors) +
                          " status=none && fsck.fat -n " + Q(part));
    EXPECT_EQ(r.Status, 0) << r.Out;
    ::unlink(part.c_str());
  }
  test::ScopedXdg xdg_;
  std::string dir_;
};

const std::string kHeader =
    "REM --------------------------------------------\r\n"
    "REM  Run this file to restore previous logos.\r\n"
    "REM --------------------------------------------\r\n\r\n";

TEST_F(DriveTest, SetShuffleAndRestoreInAnImageWriteWhatAFolderDriveGets) {
  // A FAT32 partition of an 80 MB disk, as 86Box or QEMU would boot.
  const long start = 2048, sectors = 161792, off = start * 512;
  std::string img = Disk("win98.img", 80, "start=2048, size=161792, type=c, bootable\\n", 32, start,
                         sectors / 2);
  ASSERT_EQ(M("mmd", img, off, "::WINDOWS").Status, 0);
  Put(img, off, "::WINDOWS/LOGOW.SYS", "the old wait logo");
  std::string folder = dir_ + "c/";
  ASSERT_EQ(Sh("mkdir -p " + Q(folder + "WINDOWS") + " && printf 'the old wait logo' > " +
               Q(folder + "WINDOWS/LOGOW.SYS")).Status, 0);
  const std::string onImage = "--drive " + Q(img) + " ", onFolder = "--drive " + Q(folder) + " ";
  ASSERT_EQ(Kvo(onImage + "add " + Q(dir_ + "dawn.png")).Status, 0);
  ASSERT_EQ(Kvo(onFolder + "add " + Q(dir_ + "dawn.png")).Status, 0);

  test::TPipeRun set = Kvo(onImage + "set Custom--dawn --startup --wait --turnoff");
  ASSERT_EQ(set.Status, 0) << set.Out;
  ASSERT_EQ(Kvo(onFolder + "set Custom--dawn --startup --wait --turnoff").Status, 0);
  EXPECT_EQ(Type(img, off, "::LOGO.SYS"), test::ReadWhole(folder + "logo.sys"));
  EXPECT_EQ(Type(img, off, "::WINDOWS/LOGOW.SYS"), test::ReadWhole(folder + "WINDOWS/LOGOW.SYS"));
  EXPECT_EQ(Type(img, off, "::WINDOWS/LOGOS.SYS"), test::ReadWhole(folder + "WINDOWS/logos.sys"));
  EXPECT_EQ(Type(img, off, "::WINDOWS/LOGOS.BAK/LOGO1.BMP"), "the old wait logo");
  EXPECT_EQ(Type(img, off, "::WINDOWS/LOGOS.BAK/RESTORE.BAT"),
            kHeader + "del  \"C:\\LOGO.SYS\"\r\n" +
                "copy \"C:\\WINDOWS\\LOGOS.BAK\\LOGO1.BMP\" \"C:\\WINDOWS\\LOGOW.SYS\"\r\n" +
                "del  \"C:\\WINDOWS\\LOGOS.SYS\"\r\n");
  // The folder drive's batch file names the same files, in its own case.
  EXPECT_EQ(test::ReadWhole(folder + "WINDOWS/logos.bak/restore.bat"),
            kHeader + "del  \"C:\\logo.sys\"\r\n" +
                "copy \"C:\\WINDOWS\\logos.bak\\logo1.bmp\" \"C:\\WINDOWS\\LOGOW.SYS\"\r\n" +
                "del  \"C:\\WINDOWS\\logos.sys\"\r\n");
  EXPECT_EQ(M("mdir -b", img, off, "::WINDOWS").Out.find("KVONEW"), std::string::npos);
  ExpectClean(img, start, sectors);

  ASSERT_EQ(Kvo(onImage + "shuffle").Status, 0);
  EXPECT_EQ(Type(img, off, "::LOGO.SYS"), test::ReadWhole(folder + "logo.sys"));
  ExpectClean(img, start, sectors);

  test::TPipeRun restore = Kvo(onImage + "restore");
  ASSERT_EQ(restore.Status, 0) << restore.Out;
  EXPECT_EQ(Type(img, off, "::LOGO.SYS"), "<missing>");
  EXPECT_EQ(Type(img, off, "::WINDOWS/LOGOS.SYS"), "<missing>");
  EXPECT_EQ(Type(img, off, "::WINDOWS/LOGOW.SYS"), "the old wait logo");
  ExpectClean(img, start, sectors);
}

TEST_F(DriveTest, ImagesAreRecognisedByContent) {
  // A floppy: a bare FAT12 volume.
  std::string floppy = Floppy("boot.ima");
  ASSERT_EQ(M("mmd", floppy, 0, "::windows").Status, 0);
  TDriveInfo f = OpenImageDrive(floppy, "")->Describe();
  EXPECT_EQ(f.Error, "");
  EXPECT_EQ(f.Layout.Format, "FAT volume");
  EXPECT_EQ(f.FileSystem, "FAT12");
  EXPECT_EQ(f.WinFolder, "C:/windows/");

  // FAT16 in the second partition, whose MSDOS.SYS names the Windows folder.
  const long off = 22528L * 512;
  std::string disk = Disk("pcem.img", 40, "start=2048, size=20480, type=83\\nstart=22528, size=59392, type=6\\n",
                          16, 22528, 59392 / 2);
  ASSERT_EQ(M("mmd", disk, off, "::WIN98").Status, 0);
  Put(disk, off, "::MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WIN98\r\nWinBootDir=C:\\WIN98\r\n");
  std::unique_ptr<TDrive> d = OpenImageDrive(disk, "");
  TDriveInfo i = d->Describe();
  EXPECT_EQ(i.Error, "");
  EXPECT_EQ(i.Layout.Format, "raw disk");
  ASSERT_EQ(i.Layout.Volumes.size(), 2u);
  EXPECT_EQ(i.Layout.Volumes[0].FileSystem, "");
  EXPECT_EQ(i.Partition, 2);
  EXPECT_EQ(i.FileSystem, "FAT16");
  EXPECT_EQ(d->WinFolder(), "C:/WIN98/");
  EXPECT_EQ(d->FindNoCase(d->WinFolder(), "logow.sys"), "C:/WIN98/LOGOW.SYS");
  EXPECT_NE(OpenImageDrive(disk + ":1", "")->Describe().Error.find("holds no FAT file system"),
            std::string::npos);
  EXPECT_NE(OpenImageDrive(disk + ":7", "")->Describe().Error.find("has no partition 7"), std::string::npos);

  // C: is the active partition: a small FAT12 volume first, Windows on the
  // second, active one. The logo lands where Windows looks for it, and
  // nothing on the first.
  const long c = 8192L * 512;
  std::string two = Disk("two.img", 16, "start=2048, size=6144, type=1\\nstart=8192, size=24576, type=6, bootable\\n",
                         16, 8192, 12288);
  ASSERT_EQ(Sh("mkfs.fat -F 12 --offset 2048 " + Q(two) + " 3072 >/dev/null").Status, 0);
  ASSERT_EQ(M("mmd", two, c, "::WIN98").Status, 0);
  Put(two, c, "::MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WIN98\r\n");
  ASSERT_EQ(Kvo("--drive " + Q(two) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  test::TPipeRun set = Kvo("--drive " + Q(two) + " set Custom--dawn --wait");
  EXPECT_EQ(set.Status, 0) << set.Out;
  EXPECT_EQ(Type(two, c, "::WIN98/LOGOW.SYS").size(), 129078u);
  EXPECT_NE(M("mdir -b", two, 2048L * 512, "::WINDOWS").Status, 0) << "a Windows folder was made on partition 1";

  // The same disk as a fixed VHD, and as QCOW2, which is refused.
  ASSERT_EQ(Sh("qemu-img convert -f raw -O vpc -o subformat=fixed " + Q(disk) + " " + Q(dir_ + "pcem.vhd")).Status, 0);
  std::unique_ptr<TDrive> vhd = OpenImageDrive(dir_ + "pcem.vhd", "");
  TDriveInfo v = vhd->Describe();
  EXPECT_EQ(v.Error, "");
  EXPECT_EQ(v.Layout.Format, "fixed VHD");
  EXPECT_EQ(v.Partition, 2);
  // Written in place, the disk keeps its footer: qemu-img still reads it.
  const std::string footer = test::ReadWhole(dir_ + "pcem.vhd").substr(test::ReadWhole(disk).size());
  ASSERT_TRUE(vhd->Lock());
  EXPECT_TRUE(vhd->ReplaceFile("C:/WIN98/LOGOW.SYS", "in the vhd"));
  vhd->Unlock();
  EXPECT_EQ(Type(dir_ + "pcem.vhd", off, "::WIN98/LOGOW.SYS"), "in the vhd");
  const std::string after = test::ReadWhole(dir_ + "pcem.vhd");
  EXPECT_EQ(after.substr(after.size() - footer.size()), footer);
  EXPECT_EQ(Sh("qemu-img info -f vpc " + Q(dir_ + "pcem.vhd")).Status, 0);
  // The same disk in QEMU's and Virtual PC's containers, read through
  // QEMU's export of them.
  ASSERT_EQ(Sh("qemu-img convert -f raw -O qcow2 " + Q(disk) + " " + Q(dir_ + "pcem.qcow2") +
               " && qemu-img convert -f raw -O vpc " + Q(disk) + " " + Q(dir_ + "dynamic.vhd")).Status, 0);
  for (const auto& [file, format] : {std::pair{"pcem.qcow2", "QCOW2"}, std::pair{"dynamic.vhd", "dynamic VHD"}}) {
    TDriveInfo c = OpenImageDrive(dir_ + file, "")->Describe();
    EXPECT_EQ(c.Error, "") << file;
    EXPECT_EQ(c.Layout.Format, format);
    EXPECT_EQ(c.Partition, 2) << file;
  }
  test::WriteWhole(dir_ + "notes.txt", std::string(4096, 'x'));
  EXPECT_NE(OpenImageDrive(dir_ + "notes.txt", "")->Describe().Error.find("is not a disk image"),
            std::string::npos);
}

TEST_F(DriveTest, AnImageInUseReadOnlyFullOrForeignIsRefusedUnchanged) {
  std::string img = Floppy("w95.ima");
  ASSERT_EQ(M("mmd", img, 0, "::WINDOWS").Status, 0);
  Put(img, 0, "::WINDOWS/LOGOW.SYS", "kept");
  const std::string onImage = "--drive " + Q(img) + " ";
  ASSERT_EQ(Kvo(onImage + "add " + Q(dir_ + "dawn.png")).Status, 0);
  const std::string before = test::ReadWhole(img);

  {
    TVmLock vm(img, 100);
    ASSERT_TRUE(vm.Held());
    test::TPipeRun r = Kvo(onImage + "set Custom--dawn --wait");
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Out.find("The disk image is in use; close the virtual machine first."), std::string::npos) << r.Out;
    EXPECT_EQ(Kvo(onImage + "shuffle").Status, 1);
    EXPECT_EQ(test::ReadWhole(img), before);
  }
  ASSERT_EQ(::chmod(img.c_str(), 0444), 0);
  test::TPipeRun ro = Kvo(onImage + "set Custom--dawn --wait");
  EXPECT_EQ(ro.Status, 1);
  EXPECT_NE(ro.Out.find("read-only"), std::string::npos) << ro.Out;
  EXPECT_EQ(test::ReadWhole(img), before);
  ASSERT_EQ(::chmod(img.c_str(), 0644), 0);

  // A damaged volume: its boot sector no longer describes a FAT.
  const std::string damaged = dir_ + "damaged.ima";
  std::string bytes = before;
  bytes.replace(11, 2, std::string(2, '\0'));  // bytes per sector
  test::WriteWhole(damaged, bytes);
  test::TPipeRun dr = Kvo("--drive " + Q(damaged) + " set Custom--dawn --wait");
  EXPECT_EQ(dr.Status, 1);
  EXPECT_NE(dr.Out.find("not a disk image"), std::string::npos) << dr.Out;
  EXPECT_EQ(test::ReadWhole(damaged), bytes);

  // A full volume: the logo that was there stays whole, and nothing half
  // written is left behind.
  ASSERT_EQ(Sh("head -c 1400000 /dev/zero > " + Q(dir_ + "big")).Status, 0);
  Put(img, 0, "::BIG", test::ReadWhole(dir_ + "big"));
  test::TPipeRun full = Kvo(onImage + "set Custom--dawn --wait");
  EXPECT_EQ(full.Status, 1) << full.Out;
  EXPECT_EQ(Type(img, 0, "::WINDOWS/LOGOW.SYS"), "kept");
  EXPECT_EQ(M("mdir -b", img, 0, "::WINDOWS").Out.find("KVONEW"), std::string::npos);
  ExpectClean(img, 0, 2880);
}

// What the drive keeps of the volume to spare tool runs (listings for one
// operation, files read under the lock) never hides a change: another
// program's is seen once the lock is taken or the next operation starts,
// and its own installs and rewrites are seen as a fresh drive sees them.
TEST_F(DriveTest, WhatTheDriveKeepsNeverHidesAChange) {
  const std::string img = Floppy("keep.ima");
  ASSERT_EQ(M("mmd", img, 0, "::WINDOWS").Status, 0);
  const std::string logo = "C:/WINDOWS/LOGOW.SYS", list = "C:/WINDOWS/RESTORE.BAT";
  std::unique_ptr<TDrive> drive = OpenImageDrive(img, xdg_.Root());
  auto listed = [](TDrive& D) {
    std::vector<std::string> names = D.List("C:/WINDOWS/");
    std::sort(names.begin(), names.end());
    return names;
  };
  {
    TDriveOperation operation(true);
    EXPECT_FALSE(drive->FileExists(logo));
    Put(img, 0, "::WINDOWS/LOGOW.SYS", "put by another program");
    {
      TDriveLock lock(*drive);
      ASSERT_TRUE(lock.Held());
      EXPECT_TRUE(drive->FileExists(logo));
      std::string bytes;
      ASSERT_TRUE(drive->ReplaceFile(list, "first"));
      ASSERT_TRUE(drive->ReadFile(list, bytes, 100));
      ASSERT_TRUE(drive->ReplaceFile(list, "second"));
      ASSERT_TRUE(drive->ReadFile(list, bytes, 100));
      EXPECT_EQ(bytes, "second");
      ASSERT_TRUE(drive->ReplaceFile(logo, "ours"));
      EXPECT_EQ(listed(*drive), listed(*OpenImageDrive(img, xdg_.Root())));
    }
    Put(img, 0, "::WINDOWS/RESTORE.BAT", "rewritten by another program");
    TDriveLock again(*drive);
    std::string bytes;
    ASSERT_TRUE(drive->ReadFile(list, bytes, 100));
    EXPECT_EQ(bytes, "rewritten by another program");
  }
  {
    TDriveOperation reading(false);
    EXPECT_TRUE(drive->FileExists(logo));
  }
  ASSERT_EQ(M("mdel", img, 0, "::WINDOWS/LOGOW.SYS").Status, 0);
  TDriveOperation next(false);
  EXPECT_FALSE(drive->FileExists(logo));
}

TEST_F(DriveTest, SessionSwitchesUseTheRememberedImageWithoutADisplay) {
  std::string img = Floppy("dosbox.ima");
  ASSERT_EQ(M("mmd", img, 0, "::WINDOWS").Status, 0);
  Put(img, 0, "::WINDOWS/LOGOS.SYS", "the old turn-off logo");
  // The picture added before the drive is chosen stays in view after.
  ASSERT_EQ(Kvo("add " + Q(dir_ + "dawn.png")).Status, 0);
  test::TPipeRun chosen = Kvo("drive set " + Q(img));
  ASSERT_EQ(chosen.Status, 0) << chosen.Out;
  EXPECT_NE(chosen.Out.find("Windows folder: C:\\WINDOWS\\"), std::string::npos) << chosen.Out;
  EXPECT_NE(Kvo("list").Out.find("Custom--dawn"), std::string::npos);
  const std::string app = "env -u DISPLAY -u WAYLAND_DISPLAY " + Q(KVO_APP_PATH);

  ASSERT_EQ(Sh(app + " /shuffle").Status, 0);
  EXPECT_NE(Type(img, 0, "::LOGO.SYS"), "<missing>");
  EXPECT_NE(Type(img, 0, "::WINDOWS/LOGOS.SYS"), "the old turn-off logo");
  ASSERT_EQ(Sh(app + " /uninst").Status, 0);
  EXPECT_EQ(Type(img, 0, "::LOGO.SYS"), "<missing>");
  EXPECT_EQ(Type(img, 0, "::WINDOWS/LOGOS.SYS"), "the old turn-off logo");

  // A virtual machine running on the image: the start changes nothing.
  const std::string before = test::ReadWhole(img);
  TVmLock vm(img, 201);
  ASSERT_TRUE(vm.Held());
  test::TPipeRun quiet = Sh(app + " /shuffle");
  EXPECT_EQ(quiet.Status, 0);
  EXPECT_EQ(quiet.Out, "");
  EXPECT_EQ(test::ReadWhole(img), before);
}

// Images and folders as strangers hand them over: each row builds its case
// with the real tools (or a few patched bytes), runs the program on it and
// checks that nothing outside the volume changed: the user's files, the
// other partition, and the volume itself when the run is refused.
TEST_F(DriveTest, HostileImagesActOnlyInsideTheirVolume) {
  const long p1 = 2048, p1Sectors = 20480, p2 = 22528, off = p1 * 512;
  const std::string base = Disk("base.img", 24, "start=2048, size=20480, type=6\\nstart=22528, size=24576, type=6\\n",
                                16, p1, p1Sectors / 2);
  ASSERT_EQ(Sh("dd if=/dev/urandom of=" + Q(base) + " bs=512 seek=" + std::to_string(p2) +
               " count=24576 conv=notrunc status=none").Status, 0);
  ASSERT_EQ(M("mmd", base, off, "::WINDOWS ::WINDOWS/LOGOS.BAK").Status, 0);
  Put(base, off, "::WINDOWS/LOGOW.SYS", "a newer wait logo");
  Put(base, off, "::WINDOWS/LOGOS.BAK/LOGO1.BMP", "the old wait logo");
  Put(base, off, "::WINDOWS/EVIL.TXT", "evil");
  const std::string home = dir_ + "home/", tmp = dir_ + "tmp/";
  ASSERT_EQ(Sh("mkdir -p " + Q(home + ".ssh") + " " + Q(tmp) + " && echo thesis > " + Q(home + "thesis.odt") +
               " && echo 'PS1=$ ' > " + Q(home + ".bashrc") + " && echo secret > " + Q(home + ".ssh/id_rsa") +
               " && printf 'drive z: file=\\\"/nonexistent\\\" bogus_option\\n' > " + Q(home + ".mtoolsrc")).Status, 0);
  ASSERT_EQ(Kvo("--drive " + Q(base) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  const std::string userFiles = Sh("cd " + Q(home) + " && cat thesis.odt .bashrc .ssh/id_rsa .mtoolsrc").Out;
  const std::string batHead = kHeader;
  std::string before;  // the image as a row made it, before the run

  struct TCase {
    const char* What;
    // Makes the case from a fresh copy of the base image; returns the drive
    // to name (the image itself unless a row says otherwise).
    std::function<std::string(const std::string& Img)> Make;
    std::string Env, Verb;
    int Status;
    std::string Says;
    bool Refused;  // the image must come out byte for byte as it went in
    std::function<void(const std::string& Img)> Check;
  };
  const std::vector<TCase> cases = {
      {"restore.bat naming host files, other drives and ways up",
       [&](const std::string& Img) {
         Put(Img, off, "::WINDOWS/LOGOS.BAK/RESTORE.BAT",
             batHead + "del  \"" + home + "thesis.odt\"\r\n" +
                 "copy \"C:\\WINDOWS\\EVIL.TXT\" \"" + home + ".bashrc\"\r\n" +
                 "copy \"" + home + ".ssh/id_rsa\" \"C:\\WINDOWS\\STOLEN.TXT\"\r\n" +
                 "copy \"" + home + ".ssh/id_rsa\" \"C:\\LOGO.SYS\"\r\n" +
                 "del  \"D:\\LOGO.SYS\"\r\n" +
                 "copy \"C:\\WINDOWS\\LOGOS.BAK\\..\\EVIL.TXT\" \"C:\\LOGO.SYS\"\r\n" +
                 "copy \"C:\\WINDOWS\\LOGOS.BAK\\LOGO1.BMP\" \"C:\\WINDOWS\\LOGOW.SYS\"\r\n");
         return Img;
       },
       "", "restore", 0, "were skipped", false,
       [&](const std::string& Img) {
         EXPECT_EQ(Type(Img, off, "::WINDOWS/LOGOW.SYS"), "the old wait logo");
         EXPECT_EQ(Type(Img, off, "::WINDOWS/STOLEN.TXT"), "<missing>");
         EXPECT_EQ(Type(Img, off, "::LOGO.SYS"), "<missing>");
       }},
      {"a name holding @@ that mtools would split",
       [&](const std::string& Img) {
         const std::string decoy = Img + "@@" + std::to_string(off);
         EXPECT_EQ(Sh("cp " + Q(Img) + " " + Q(decoy) + " && ln -s " + Q(decoy) + " " + Q(Img + ".link")).Status, 0);
         return decoy;
       },
       "", "set Custom--dawn --wait", 0, "", false,
       [&](const std::string& Img) {
         EXPECT_TRUE(test::ReadWhole(Img) == before) << "the file mtools would have split to changed";
         EXPECT_NE(Type(Img + ".link", off, "::WINDOWS/LOGOW.SYS"), "a newer wait logo");
         ExpectClean(Img + ".link", p1, p1Sectors);
       }},
      {"a file system larger than its partition",
       [&](const std::string& Img) {
         EXPECT_EQ(Sh("printf 'start=2048, size=16384, type=6\\nstart=22528, size=24576, type=6\\n' | sfdisk -q " +
                      Q(Img) + " && true").Status, 0);
         return Img;
       },
       "", "set Custom--dawn --wait", 1,
       "The file system on partition 1 is larger than its partition; the image may be damaged.", true, nullptr},
      {"a logo name that is a folder",
       [&](const std::string& Img) {
         EXPECT_EQ(M("mmd", Img, off, "::LOGO.SYS").Status, 0);
         return Img;
       },
       "", "set Custom--dawn --startup", 1, "C:\\LOGO.SYS is a folder", true, nullptr},
      {"a logo far larger than a logo can be",
       [&](const std::string& Img) {
         Put(Img, off, "::LOGO.SYS", std::string(3 << 20, 'x'));
         return Img;
       },
       "", "preview --current --startup " + Q(dir_ + "now.gif"), 1, "is larger than 1048576 bytes", true,
       [&](const std::string&) { EXPECT_EQ(Sh("ls -A " + Q(tmp) + " | grep -c '^kvo-'").Out, "0\n"); }},
      {"a logo too large to read, moved into the backup folder whole and back",
       [&](const std::string& Img) {
         Put(Img, off, "::LOGO.SYS", std::string(3 << 20, 'x'));
         return Img;
       },
       "", "set Custom--dawn --startup", 0, "", false,
       [&](const std::string& Img) {
         EXPECT_EQ(Type(Img, off, "::LOGO.SYS").size(), 129078u);
         EXPECT_EQ(Type(Img, off, "::WINDOWS/LOGOS.BAK/LOGO2.BMP"), std::string(3 << 20, 'x'));
         EXPECT_EQ(Sh(Q(KVO_CLI_PATH) + " --drive " + Q(Img) + " restore").Status, 0);
         EXPECT_EQ(Type(Img, off, "::LOGO.SYS"), std::string(3 << 20, 'x'));
       }},
      {"a restore.bat far larger than one can be",
       [&](const std::string& Img) {
         Put(Img, off, "::WINDOWS/LOGOS.BAK/RESTORE.BAT", batHead + std::string(100000, ' '));
         return Img;
       },
       "", "restore", 1, "is larger than 65536 bytes", true, nullptr},
      {"a WinDir of 5,000 parts",
       [&](const std::string& Img) {
         std::string dir = "C:";
         for (int i = 0; i < 5000; ++i) dir += "\\A";
         Put(Img, off, "::MSDOS.SYS", "[Paths]\r\nWinDir=" + dir + "\r\n");
         return Img;
       },
       "", "drive", 0, "Windows folder: C:\\WINDOWS\\", true, nullptr},
      {"the user's own mtools settings",
       [&](const std::string& Img) { return Img; },
       "HOME=" + Q(home) + " MTOOLS_LOWER_CASE=1 ", "set Custom--dawn --wait", 0, "", false,
       [&](const std::string& Img) {
         EXPECT_EQ(Type(Img, off, "::WINDOWS/LOGOS.BAK/LOGO2.BMP"), "a newer wait logo");
         EXPECT_NE(Type(Img, off, "::WINDOWS/LOGOS.BAK/RESTORE.BAT").find("copy \"C:\\WINDOWS\\LOGOS.BAK\\LOGO2.BMP\""),
                   std::string::npos);
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    const std::string img = dir_ + "hostile.img";
    ASSERT_EQ(Sh("rm -rf " + Q(dir_) + "hostile.img* && cp " + Q(base) + " " + Q(img)).Status, 0);
    const std::string drive = c.Make(img);
    before = test::ReadWhole(img);
    test::TPipeRun r = Sh("TMPDIR=" + Q(tmp) + " " + c.Env + Q(KVO_CLI_PATH) + " --drive " + Q(drive) + " " + c.Verb);
    EXPECT_EQ(r.Status, c.Status) << r.Out;
    EXPECT_NE(r.Out.find(c.Says), std::string::npos) << r.Out;
    const std::string after = test::ReadWhole(img);
    EXPECT_EQ(Sh("cd " + Q(home) + " && cat thesis.odt .bashrc .ssh/id_rsa .mtoolsrc").Out, userFiles);
    if (c.Refused) {
      EXPECT_TRUE(after == before) << "the image changed";
    } else {
      EXPECT_TRUE(after.substr(0, off) == before.substr(0, off)) << "the partition table changed";
      EXPECT_TRUE(after.substr(p2 * 512) == before.substr(p2 * 512)) << "partition 2 changed";
      ExpectClean(img, p1, p1Sectors);
    }
    if (c.Check) c.Check(img);
  }
}

// A shared Windows folder: a link put where a logo or the change lock
// belongs is never written through, and a FIFO is refused at once.
TEST_F(DriveTest, SharedFoldersFollowNoLinkAndAddTakesOnlyFiles) {
  const std::string c = dir_ + "c/", victim = dir_ + "victim.txt", config = xdg_.Root() + "config/KvoPanoramics/";
  ASSERT_EQ(Sh("mkdir -p " + Q(c + "WINDOWS") + " " + Q(config) + " && echo mine > " + Q(victim) + " && ln -s " +
               Q(victim) + " " + Q(c + "WINDOWS/logow.sys") + " && ln -s " + Q(dir_ + "made-by-lock") + " " +
               Q(config + "kvo.lock") + " && mkfifo " + Q(dir_ + "pipe.png")).Status, 0);
  test::TPipeRun fifo = Sh("timeout 20 " + Q(KVO_CLI_PATH) + " --drive " + Q(c) + " add " + Q(dir_ + "pipe.png"));
  EXPECT_EQ(fifo.Status, 1);
  EXPECT_NE(fifo.Out.find("Not a regular file: " + dir_ + "pipe.png."), std::string::npos) << fifo.Out;
  ASSERT_EQ(Kvo("--drive " + Q(c) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  test::TPipeRun set = Kvo("--drive " + Q(c) + " set Custom--dawn --wait");
  EXPECT_EQ(set.Status, 0) << set.Out;
  EXPECT_EQ(test::ReadWhole(victim), "mine\n");
  struct stat st {};
  ASSERT_EQ(::lstat((c + "WINDOWS/logow.sys").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(test::ReadWhole(c + "WINDOWS/logow.sys").size(), 129078u);
  EXPECT_NE(::access((dir_ + "made-by-lock").c_str(), F_OK), 0);
  // The link was no logo of the drive: restoring removes the new file and
  // brings back nothing of the file it pointed to.
  EXPECT_NE(test::ReadWhole(c + "WINDOWS/logos.bak/restore.bat").find("del  \"C:\\WINDOWS\\logow.sys\""),
            std::string::npos);
}

// Container images of other emulators, written through QEMU's export of
// them: each step leaves the logo files the same commands leave in the raw
// disk they were made from, and QEMU's own check finds nothing wrong.
TEST_F(DriveTest, ContainerImagesGetWhatTheirRawDiskGets) {
  const long off = 2048L * 512;
  const std::string raw = Disk("src.img", 24, "start=2048, size=20480, type=6\\n", 16, 2048, 10240);
  ASSERT_EQ(M("mmd", raw, off, "::WINDOWS").Status, 0);
  Put(raw, off, "::WINDOWS/LOGOW.SYS", "the old wait logo");
  ASSERT_EQ(Kvo("--drive " + Q(raw) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  const std::vector<std::string> steps = {"set Custom--dawn --startup --wait --turnoff", "shuffle", "restore"};
  std::vector<std::vector<std::string>> expected;
  ASSERT_EQ(Sh("cp " + Q(raw) + " " + Q(dir_ + "ref.img")).Status, 0);
  for (const std::string& step : steps) {
    ASSERT_EQ(Kvo("--drive " + Q(dir_ + "ref.img") + " " + step).Status, 0) << step;
    expected.push_back(LogoFiles(dir_ + "ref.img", off));
  }
  // The image's name is Latin-1, as an older system's files may be: the
  // daemon never sees it.
  const std::string src = Q(raw), img = dir_ + "vm-caf\xe9.disk", base = dir_ + "base.qcow2";
  const std::string convert = "qemu-img convert -f raw " + src + " ";
  // The raw disk cut in two flat extents beside a descriptor written by hand.
  const std::string split = "dd if=" + src + " of=" + Q(dir_ + "vm-s001.vmdk") + " bs=512 count=20480 status=none && dd if=" +
                            src + " of=" + Q(dir_ + "vm-s002.vmdk") + " bs=512 skip=20480 status=none && printf '" +
                            "# Disk DescriptorFile\\nversion=1\\nCID=fffffffe\\nparentCID=ffffffff\\n" +
                            "createType=\"twoGbMaxExtentFlat\"\\n\\nRW 20480 FLAT \"vm-s001.vmdk\" 0\\n" +
                            "RW 28672 FLAT \"vm-s002.vmdk\" 0\\n' > " + Q(img);
  struct TFormat {
    const char* Name;
    std::string Make;
    std::string Shows;  // the format kvo drive names
  };
  const std::vector<TFormat> formats = {
      {"QCOW2", convert + "-O qcow2 " + Q(img), "QCOW2\n"},
      {"QCOW2 on a backing file", convert + "-O qcow2 " + Q(base) + " && qemu-img create -q -f qcow2 -b " +
                                      Q(base) + " -F qcow2 " + Q(img), "QCOW2, backing file " + base + " (QCOW2)\n"},
      {"QCOW2 on a backing file named from its folder", convert + "-O raw " + Q(base) + " && cd " + Q(dir_) +
                                      " && qemu-img create -q -f qcow2 -b base.qcow2 -F raw " + Q(img),
       "QCOW2, backing file base.qcow2 (raw)\n"},
      {"compressed QCOW2", convert + "-c -O qcow2 " + Q(img), "QCOW2\n"},
      {"dynamic VDI", convert + "-O vdi " + Q(img), "VDI\n"},
      {"fixed VDI", convert + "-O vdi -o static=on " + Q(img), "VDI\n"},
      {"monolithicSparse VMDK", convert + "-O vmdk " + Q(img), "VMDK\n"},
      {"twoGbMaxExtentSparse VMDK", convert + "-O vmdk -o subformat=twoGbMaxExtentSparse " + Q(img),
       "VMDK, data in vm-caf\xe9-s001.disk\n"},
      {"VHDX", convert + "-O vhdx " + Q(img), "VHDX\n"},
      {"dynamic VHD", convert + "-O vpc " + Q(img), "dynamic VHD\n"},
      {"twoGbMaxExtentFlat VMDK in two files", split, "VMDK, split in 2 files: vm-s001.vmdk, vm-s002.vmdk\n"},
  };
  for (const TFormat& f : formats) {
    SCOPED_TRACE(f.Name);
    ASSERT_EQ(Sh("rm -f " + Q(dir_) + "vm* " + Q(base) + " && " + f.Make).Status, 0);
    const std::string baseBefore = test::ReadWhole(base);
    EXPECT_NE(Kvo("--drive " + Q(img) + " drive").Out.find("Format: " + f.Shows), std::string::npos);
    for (size_t i = 0; i < steps.size(); ++i) {
      test::TPipeRun r = Kvo("--drive " + Q(img) + " " + steps[i]);
      EXPECT_EQ(r.Status, 0) << steps[i] << ": " << r.Out;
      ASSERT_EQ(Sh("qemu-img convert -O raw " + Q(img) + " " + Q(dir_ + "back.raw")).Status, 0);
      EXPECT_EQ(LogoFiles(dir_ + "back.raw", off), expected[i]) << steps[i];
      // qemu-img has no check for VHD; it reads back whole above.
      if (std::string(f.Name) != "dynamic VHD") {
        EXPECT_EQ(Sh("qemu-img check -q " + Q(img)).Status, 0) << steps[i];
      }
    }
    EXPECT_TRUE(test::ReadWhole(base) == baseBefore) << "the backing file changed";
  }
  EXPECT_NE(Kvo("--drive " + Q(img) + " drive --json").Out.find("\"files\": [\"vm-s001.vmdk\", \"vm-s002.vmdk\"]"),
            std::string::npos);
}

// A Set on a QCOW2 image cut short by kill -9, of the program or of its
// daemon, at moments spread over the run: QEMU's check finds no
// corruption (leaked clusters are allowed: they cost room, not data),
// each logo is the old file or the new one, and the next run removes any
// export the killed one left.
TEST_F(DriveTest, KilledContainerRunsLeaveTheImageSound) {
  const std::string raw = Floppy("kill.ima"), img = dir_ + "kill.qcow2", fresh = dir_ + "fresh.qcow2";
  ASSERT_EQ(M("mmd", raw, 0, "::WINDOWS").Status, 0);
  Put(raw, 0, "::WINDOWS/LOGOW.SYS", "the old wait logo");
  ASSERT_EQ(Sh("qemu-img convert -f raw -O qcow2 " + Q(raw) + " " + Q(fresh)).Status, 0);
  ASSERT_EQ(Kvo("--drive " + Q(fresh) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  const std::string set = Q(KVO_CLI_PATH) + " --drive " + Q(img) + " set Custom--dawn --startup --wait --turnoff";
  auto logoFiles = [&] {
    EXPECT_EQ(Sh("qemu-img convert -O raw " + Q(img) + " " + Q(dir_ + "view.raw")).Status, 0);
    return LogoFiles(dir_ + "view.raw", 0);
  };
  ASSERT_EQ(Sh("cp " + Q(fresh) + " " + Q(img)).Status, 0);
  const std::vector<std::string> before = logoFiles();
  ASSERT_EQ(Sh(set).Status, 0);
  const std::vector<std::string> after = logoFiles();
  // A runtime folder of this test's own, so that exports of tests running
  // beside it are not counted.
  const std::string run = dir_ + "run";
  ASSERT_EQ(::mkdir(run.c_str(), 0700), 0);
  // Exports left: their files, and their mounts (a killed daemon's is
  // dead: looking at it fails, but the mount table still has it).
  auto exportsLeft = [&] {
    int left = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(run + "/KvoPanoramics", ec))
      left += e.path().filename().string().rfind("export-", 0) == 0;
    std::ifstream mounts("/proc/self/mounts");
    for (std::string line; std::getline(mounts, line);) left += line.find(run + "/") != std::string::npos;
    return left;
  };
  const char* oldRun = std::getenv("XDG_RUNTIME_DIR");
  const std::string keptRun = oldRun ? oldRun : "";
  ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
  for (const char* victim : {"program", "daemon"}) {
    for (int ms : {5, 20, 40, 80, 120, 200, 300}) {
      SCOPED_TRACE(std::string(victim) + " killed after " + std::to_string(ms) + " ms");
      ASSERT_EQ(Sh("cp " + Q(fresh) + " " + Q(img)).Status, 0);
      const std::string kill = std::string(victim) == "program" ? "kill -9 $p" : "pkill -9 -P $p qemu-storage";
      // A daemon whose program was killed quits on its own, a moment later
      // on a loaded machine: the image is looked at once it has gone.
      const std::string gone = "for i in $(seq 1000); do pgrep -f " + Q("[q]emu-storage-daemon .*" + img) +
                               " >/dev/null || break; sleep 0.01; done";
      Sh(set + " >/dev/null 2>&1 & p=$!; sleep " + std::to_string(ms / 1000.0) + "; " + kill + "; wait $p; " + gone);
      const int check = Sh("qemu-img check -q " + Q(img)).Status;
      EXPECT_TRUE(check == 0 || check == 3) << "qemu-img check: " << check;
      const std::vector<std::string> now = logoFiles();
      for (size_t i = 0; i < now.size(); ++i)
        EXPECT_TRUE(now[i] == before[i] || now[i] == after[i]) << "logo " << i;
      EXPECT_EQ(Kvo("list").Status, 0);
      EXPECT_EQ(exportsLeft(), 0);
    }
  }
  oldRun ? ::setenv("XDG_RUNTIME_DIR", keptRun.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
}

// Images that must not be written, each refused by name and left as it was.
TEST_F(DriveTest, ContainersAndImagesInUseAreRefusedUnchanged) {
  const std::string raw = Floppy("plain.ima"), img = dir_ + "vm.disk";
  ASSERT_EQ(M("mmd", raw, 0, "::WINDOWS").Status, 0);
  ASSERT_EQ(Kvo("--drive " + Q(raw) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  const std::string convert = "qemu-img convert -f raw " + Q(raw) + " ";
  // A dynamic VHD made differencing: disk type 4 in the footer and in its
  // copy at the head.
  const std::string differencing =
      convert + "-O vpc " + Q(img) + " && printf '\\000\\000\\000\\004' | dd of=" + Q(img) +
      " bs=1 seek=60 conv=notrunc status=none && printf '\\000\\000\\000\\004' | dd of=" + Q(img) +
      " bs=1 seek=$(( $(stat -c %s " + Q(img) + ") - 452 )) conv=notrunc status=none && true";
  int held = -1;
  struct TCase {
    const char* What;
    std::string Make, Env, Says;
    std::function<void()> Hold;
  };
  const std::vector<TCase> cases = {
      {"differencing VHD", differencing, "", "is a differencing VHD", nullptr},
      {"streamOptimized VMDK", convert + "-O vmdk -o subformat=streamOptimized " + Q(img), "",
       "\"streamOptimized\", which QEMU cannot rewrite in place", nullptr},
      // LUKS keys cannot be made reliably on a busy machine (QEMU times its
      // key derivation): the header's encryption method says the same.
      {"encrypted QCOW2", convert + "-O qcow2 " + Q(img) + " && printf '\\000\\000\\000\\002' | dd of=" +
                              Q(img) + " bs=1 seek=32 conv=notrunc status=none && true",
       "", "is an encrypted QCOW2 image", nullptr},
      // Open for reading only, it is QEMU's lock that keeps the writer out.
      {"QCOW2 held by qemu-io", convert + "-O qcow2 " + Q(img) + " && (qemu-io -r -f qcow2 " + Q(img) +
                                    " -c 'sleep 60000' >/dev/null 2>&1 &) && sleep 1", "",
       "The disk image is in use; close the virtual machine first.", nullptr},
      {"raw image open for writing elsewhere", "cp " + Q(raw) + " " + Q(img), "",
       "The disk image is in use by kvo_tests (process " + std::to_string(::getpid()) + "); close the virtual machine first.",
       [&] { held = ::open(img.c_str(), O_RDWR | O_CLOEXEC); }},
      {"Bochs lock file", "cp " + Q(raw) + " " + Q(img) + " && touch " + Q(img + ".lock"), "", "in use by Bochs", nullptr},
      // Opened for writing, QEMU would repair the dirty image and clear the
      // autoclear bit it does not know at once, before any lock of its own.
      {"dirty QCOW2 open for writing elsewhere", convert + "-O qcow2 -o lazy_refcounts=on " + Q(img) +
                                      " && printf '\\001' | dd of=" + Q(img) + " bs=1 seek=79 conv=notrunc status=none" +
                                      " && printf '\\040' | dd of=" + Q(img) + " bs=1 seek=95 conv=notrunc status=none && true",
       "", "in use by kvo_tests", [&] { held = ::open(img.c_str(), O_RDWR | O_CLOEXEC); }},
      {"QCOW2 without FUSE", convert + "-O qcow2 " + Q(img), "KVO_TEST_FUSE_DEVICE=/nonexistent ",
       "/nonexistent is missing or closed to this user (Debian package fuse3)", nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    test::TPipeRun made = Sh("rm -f " + Q(dir_) + "vm.disk* && " + c.Make);
    ASSERT_EQ(made.Status, 0) << made.Out;
    if (c.Hold) c.Hold();
    const std::string before = test::ReadWhole(img);
    test::TPipeRun r = Sh(c.Env + Q(KVO_CLI_PATH) + " --drive " + Q(img) + " set Custom--dawn --wait");
    EXPECT_EQ(r.Status, 1) << r.Out;
    EXPECT_NE(r.Out.find(c.Says), std::string::npos) << r.Out;
    EXPECT_TRUE(test::ReadWhole(img) == before) << "the image changed";
    if (held >= 0) ::close(held), held = -1;
    Sh("pkill -f 'qemu-io -r -f qcow2 " + img + "'");
  }
}

// A daemon that stops answering (its image on a mount that hangs, say)
// holds no command up: the tool waiting on the export is freed by ending
// the daemon, and the run says what timed out, within its limits.
TEST_F(DriveTest, AFrozenDaemonEndsTheRunWithinItsLimits) {
  const std::string raw = Floppy("frozen.ima"), img = dir_ + "frozen.qcow2", daemon = dir_ + "freezing-daemon";
  ASSERT_EQ(M("mmd", raw, 0, "::WINDOWS").Status, 0);
  ASSERT_EQ(Kvo("--drive " + Q(raw) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  ASSERT_EQ(Sh("qemu-img convert -f raw -O qcow2 " + Q(raw) + " " + Q(img)).Status, 0);
  // The daemon stops itself the moment its export is mounted.
  test::WriteWhole(daemon, "#!/bin/sh\nmp=$(printf '%s' \"$*\" | sed -n 's/.*\"mountpoint\":\"\\([^\"]*\\)\".*/\\1/p')\n"
                           "me=$$\n(until grep -q \" $mp \" /proc/self/mountinfo; do sleep 0.005; done; kill -STOP $me) &\n"
                           "exec qemu-storage-daemon \"$@\"\n");
  ASSERT_EQ(::chmod(daemon.c_str(), 0755), 0);
  const auto start = std::chrono::steady_clock::now();
  test::TPipeRun r = Sh("KVO_TEST_STORAGE_DAEMON=" + Q(daemon) + " KVO_TEST_TOOL_TIMEOUT_MS=2000 timeout 60 " +
                        Q(KVO_CLI_PATH) + " --drive " + Q(img) + " set Custom--dawn --wait");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(r.Status, 1) << r.Out;
  EXPECT_NE(r.Out.find("did not finish within 2 seconds, and QEMU's storage daemon was stopped"), std::string::npos)
      << r.Out;
  EXPECT_NE(Sh("pgrep -f " + Q("[q]emu-storage-daemon .*" + dir_)).Status, 0) << "a daemon was left";
}

// Containers whose chain names something outside the image, each made as a
// stranger's download could be made (qemu-img, a text descriptor, a
// patched header): refused by name before any daemon starts, with the
// user's file, the image and every file beside it unchanged, no
// connection made and no wait.
TEST_F(DriveTest, AChainNamesNothingOutsideItsImage) {
  const std::string raw = Floppy("chain.ima"), box = dir_ + "box/", img = box + "vm.img", victim = dir_ + "victim";
  ASSERT_EQ(M("mmd", raw, 0, "::WINDOWS").Status, 0);
  ASSERT_EQ(Kvo("--drive " + Q(raw) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  // A local listener no image may make the program reach.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::string nbd = "nbd://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x";
  // A flat VMDK of the floppy (vm.img, its data in vm-f001.img) with its
  // extent or its parent changed; QCOW2 images naming a backing file.
  const std::string flat = "qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentFlat " + Q(raw) + " " + Q(img);
  auto extent = [&](const std::string& Name) {
    return flat + " && sed -i 's#\"vm-f001.img\"#\"" + Name + "\"#' " + Q(img);
  };
  auto parent = [&](const std::string& Line) { return flat + " && printf '" + Line + "\\n' >> " + Q(img); };
  auto backing = [&](const std::string& Name, const std::string& Format) {
    return "qemu-img create -q -f qcow2 -u -b " + Q(Name) + " -F " + Format + " " + Q(img) + " 1440K";
  };
  const std::string notPlain = "that is not a plain file name in the descriptor's own folder";
  const std::string differencing = "is a differencing VMDK image";
  const std::string notRegular = "is not a regular file";
  struct TCase {
    const char* What;
    std::string Make, Says;
  };
  const std::vector<TCase> cases = {
      {"VMDK extent by an absolute path", extent(victim), notPlain},
      {"VMDK extent up a folder", extent("../victim"), notPlain},
      {"VMDK extent in /proc", extent("/proc/self/environ"), notPlain},
      {"VMDK extent through a link", extent("link.img") + " && ln -s " + Q(victim) + " " + Q(box + "link.img"),
       "is a symbolic link"},
      {"VMDK extent a FIFO", extent("fifo.img") + " && mkfifo " + Q(box + "fifo.img"), notRegular},
      {"VMDK extent a device", extent("dev.img") + " && (mknod " + Q(box + "dev.img") + " c 1 3 || mkfifo " +
                                   Q(box + "dev.img") + ")", notRegular},
      {"VMDK parent beside it", parent("parentFileNameHint=\"base.vmdk\""), differencing},
      {"VMDK parent over the network", parent("parentFileNameHint=\"" + nbd + "\""), differencing},
      {"VMDK parent by its CID", flat + " && sed -i 's/parentCID=ffffffff/parentCID=1234abcd/' " + Q(img), differencing},
      {"QCOW2 data file", "qemu-img create -q -f qcow2 -o data_file=own.raw " + Q(img) + " 1440K && qemu-img amend -f qcow2 -o data_file=" +
                              Q(victim) + " " + Q(img), "keeps its data in another file; this program does not write such images"},
      {"json: backing name", backing("json:{\"driver\":\"raw\",\"file\":{\"driver\":\"file\",\"filename\":\"" + victim + "\"}}", "raw"),
       "gives QEMU options (json:)"},
      {"nbd: backing name", backing(nbd, "raw"), "names a protocol (nbd:)"},
      {"FIFO backing file", "mkfifo " + Q(box + "fifo") + " && " + backing("fifo", "raw"), notRegular},
      {"device backing file", backing("/dev/zero", "raw"), notRegular},
      {"a host file as a raw backing file", backing(victim, "raw"), "is not a disk image"},
      {"backing VMDK whose extent leads out",
       flat + " && sed -i 's#\"vm-f001.img\"#\"" + victim + "\"#' " + Q(img) + " && mv " + Q(img) + " " + Q(box + "base.vmdk") +
           " && " + backing("base.vmdk", "vmdk"), "only QCOW2 and raw backing files are followed"},
      {"backing name with terminal escapes", backing("\x1b[2J\x1b[Hgone\r", "raw"), "cannot be opened"},
  };
  const std::string files = "cd " + Q(box) + " && find . -type f -o -type l | sort | xargs -r sha256sum";
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    test::TPipeRun made = Sh("rm -rf " + Q(box) + " && mkdir " + Q(box) + " && cd " + Q(box) + " && echo secret > " +
                             Q(victim) + " && " + c.Make);
    ASSERT_EQ(made.Status, 0) << made.Out;
    const std::string before = Sh(files).Out;
    const auto start = std::chrono::steady_clock::now();
    test::TPipeRun r = Sh("timeout 20 " + Q(KVO_CLI_PATH) + " --drive " + Q(img) + " set Custom--dawn --wait");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.Status, 1) << r.Out;
    EXPECT_NE(r.Out.find(c.Says), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find_first_of("\x1b\r"), std::string::npos) << "raw control characters in " << r.Out;
    EXPECT_EQ(test::ReadWhole(victim), "secret\n");
    EXPECT_EQ(Sh(files).Out, before) << "a file of the image changed";
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "a connection reached the listener";
  }
  ::close(listener);
}

// A file swapped in under the image's name while a Set runs (a folder
// another user can write to) gets nothing: every step works on the file
// opened first, and a file another program holds open for writing is
// never written, whichever name it has when the daemon starts.
TEST_F(DriveTest, AFileSwappedInUnderTheImageNameGetsNothing) {
  const std::string raw = Floppy("swap.ima"), img = dir_ + "vm.qcow2", decoy = dir_ + "decoy.qcow2";
  ASSERT_EQ(M("mmd", raw, 0, "::WINDOWS").Status, 0);
  ASSERT_EQ(Kvo("--drive " + Q(raw) + " add " + Q(dir_ + "dawn.png")).Status, 0);
  ASSERT_EQ(Sh("qemu-img convert -f raw -O qcow2 " + Q(raw) + " " + Q(img) + " && cp " + Q(img) + " " + Q(decoy)).Status, 0);
  const std::string held = test::ReadWhole(decoy);
  const int writer = ::open(decoy.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  std::atomic<bool> swapping{true};
  std::thread swapper([&] {
    while (swapping) ::renameat2(AT_FDCWD, img.c_str(), AT_FDCWD, decoy.c_str(), RENAME_EXCHANGE);
  });
  for (int run = 0; run < 4; ++run) Kvo("--drive " + Q(img) + " set Custom--dawn --wait --turnoff");
  swapping = false;
  swapper.join();
  std::string now(held.size() + 1, '\0');
  now.resize(static_cast<size_t>(std::max<ssize_t>(::pread(writer, now.data(), now.size(), 0), 0)));
  EXPECT_TRUE(now == held) << "the file held open for writing changed";
  ::close(writer);
}

}  // namespace
}  // namespace kvo
