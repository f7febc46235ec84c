// The push of alerts into the NAS's own system log through its log tool.
// After every poll's commit a bounded batch of unsent alerts is handed to
// /sbin/log_tool; one that the tool refuses stays unsent (its push_rc says
// why) and is tried again after a later poll, behind alerts never refused.
#pragma once

// Sends up to 20 unsent alerts. Runs outside any transaction; each row's
// update commits by itself.
void alert_push_pending();
