// The surface test of one disk, from its arguments to its exit code.
#pragma once

struct VerdictInput;

// 0 done or stopped, 1 failed, 2 bad argument, 4 the disk is already under test.
// One JSON line on standard output in every case.
int probe_run(const char* serial, const char* mode);
// SIGTERM and SIGINT: asks the run to stop, nothing else.
void probe_on_stop_signal(int sig);
// The state, lock and queue paths of a serial under the data directory, which
// gets its "probe" folder.
void probe_paths_init(const char* serial);
// Opens the disk's lock file (g_probe.lock_path) without following a link
// planted there: the descriptor, or -1 after logging why.
int probe_lock_open();
// The kernel name and everything derived from it: device paths, NVMe
// controller, PCI controller and ATA port.
void probe_set_device(const char* name);
// 1 for the NAS's own system md arrays.
int is_system_md_array(const char* name);

// Finds the disk of g_probe.serial_arg (inventory, else VPD page 0x80 or
// smartctl over the unlisted "sd" disks), reads what the phases need to know
// about it and opens it. 0, or -1 with g_probe.error set.
int probe_identify_disk();
// Everything the verdict weighs, from the finished run.
void probe_verdict_input(VerdictInput* in);
