// The plain follower: a surface test followed through its state file as
// progress lines on standard output, for a script or a terminal without the
// full screen. It may start the test first (as root only).
#pragma once

#include <cstddef>
#include <cstdio>

struct ProbeView;

// Follows the test of serial until it ends, starting one in mode first when
// mode is given and no test of the disk runs. Exit code: 3 for a "bad"
// verdict, 1 when the run failed or its process died ("stale"), when no run
// showed up, when a test could not be started, or as soon as standard output
// fails (its reader is gone: the test goes on); else 0 (a stopped run too).
int ui_follow_plain(const char* serial, const char* mode);

// One line "  - <sentence>" for each reason of the view's verdict.
void ui_plain_reasons(std::FILE* out, const ProbeView* view);
// The disk of a run as the plain lines name it: "<serial> (<device>)", or the
// serial alone while the run does not know its device yet (queued).
void ui_plain_disk_name(const ProbeView* view, char* buf, std::size_t size);
