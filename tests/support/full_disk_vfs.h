// FullDiskVfs: a disk that fills up at a moment the test chooses, for
// SQLite. While it lives, every connection opened in this process (the
// program's and the test's own) goes through a VFS that counts the writes to
// database, journal and temporary files, and answers the chosen one with
// SQLITE_FULL without writing it. The writes after it have room again, as
// when the journal that filled the disk is removed.
#pragma once

class FullDiskVfs {
   public:
    FullDiskVfs();   // becomes the default VFS
    ~FullDiskVfs();  // the previous default is back
    FullDiskVfs(const FullDiskVfs&) = delete;
    FullDiskVfs& operator=(const FullDiskVfs&) = delete;

    // Write number n from now on fails; 0: none does.
    void fail_write(int n);
};
