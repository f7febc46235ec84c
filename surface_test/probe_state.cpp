#include "surface_test/probe_state.h"

ProbeState g_probe;
volatile std::sig_atomic_t g_probe_stop = 0;
int g_probe_queue_fd = -1;
