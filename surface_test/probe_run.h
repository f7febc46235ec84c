// The surface test of one disk, from its arguments to its exit code.
#pragma once

// 0 done or stopped, 1 failed, 2 bad argument, 4 the disk is already under test.
int probe_run(const char* serial, const char* mode);
void probe_on_stop_signal(int sig);
void probe_paths_init(const char* serial);
void probe_set_device(const char* name);
int is_system_md_array(const char* name);
