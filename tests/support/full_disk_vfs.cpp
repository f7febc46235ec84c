#include "tests/support/full_disk_vfs.h"

#include <sqlite3.h>

namespace {

// The VFS's file: the real VFS's file follows it in the same allocation.
struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;
};

sqlite3_vfs* s_real = nullptr;
sqlite3_vfs s_vfs{};
int s_countdown = 0;  // writes left until the failing one; 0 when none is chosen

sqlite3_file* real(sqlite3_file* f) {
    return reinterpret_cast<ShimFile*>(f)->real;
}

int shim_close(sqlite3_file* f) {
    return real(f)->pMethods->xClose(real(f));
}

int shim_read(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
    return real(f)->pMethods->xRead(real(f), buf, n, off);
}

int shim_write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
    if (s_countdown > 0 && --s_countdown == 0) return SQLITE_FULL;
    return real(f)->pMethods->xWrite(real(f), buf, n, off);
}

int shim_truncate(sqlite3_file* f, sqlite3_int64 size) {
    return real(f)->pMethods->xTruncate(real(f), size);
}

// Nothing here is about power loss: a sync would only cost time.
int shim_sync(sqlite3_file*, int) {
    return SQLITE_OK;
}

int shim_file_size(sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
}

int shim_lock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xLock(real(f), level);
}

int shim_unlock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xUnlock(real(f), level);
}

int shim_check_reserved(sqlite3_file* f, int* out) {
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}

int shim_file_control(sqlite3_file* f, int op, void* arg) {
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}

int shim_sector_size(sqlite3_file* f) {
    return real(f)->pMethods->xSectorSize(real(f));
}

int shim_device(sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}

// Version 1: no shared memory and no memory mapping, which the program's
// rollback journal does not use.
const sqlite3_io_methods kMethods = {.iVersion = 1,
                                     .xClose = shim_close,
                                     .xRead = shim_read,
                                     .xWrite = shim_write,
                                     .xTruncate = shim_truncate,
                                     .xSync = shim_sync,
                                     .xFileSize = shim_file_size,
                                     .xLock = shim_lock,
                                     .xUnlock = shim_unlock,
                                     .xCheckReservedLock = shim_check_reserved,
                                     .xFileControl = shim_file_control,
                                     .xSectorSize = shim_sector_size,
                                     .xDeviceCharacteristics = shim_device,
                                     .xShmMap = nullptr,
                                     .xShmLock = nullptr,
                                     .xShmBarrier = nullptr,
                                     .xShmUnmap = nullptr,
                                     .xFetch = nullptr,
                                     .xUnfetch = nullptr};

int shim_open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* out_flags) {
    auto* shim = reinterpret_cast<ShimFile*>(f);
    shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
    const int rc = s_real->xOpen(s_real, name, shim->real, flags, out_flags);
    // SQLite closes what has methods, also after a failed open.
    shim->base.pMethods = shim->real->pMethods ? &kMethods : nullptr;
    return rc;
}

}  // namespace

FullDiskVfs::FullDiskVfs() {
    s_real = sqlite3_vfs_find(nullptr);
    // The real VFS's other methods do not look at the VFS they are called
    // through, so they are taken over as they are.
    s_vfs = *s_real;
    s_vfs.zName = "full-disk";
    s_vfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + s_real->szOsFile;
    s_vfs.xOpen = shim_open;
    s_vfs.pNext = nullptr;
    sqlite3_vfs_register(&s_vfs, 1);
    fail_write(0);
}

FullDiskVfs::~FullDiskVfs() {
    sqlite3_vfs_unregister(&s_vfs);
    sqlite3_vfs_register(s_real, 1);
}

void FullDiskVfs::fail_write(int n) {
    s_countdown = n;
}
