// The verdict of a surface test: good, bad, link or inconclusive, with keyed
// reasons. Pure: it reads the input and fills the verdict, nothing else.
#pragma once

#include "surface_test/probe_state.h"

void verdict_compute(const VerdictInput* in, Verdict* out);
int verdict_add_link_reasons(Verdict* v, const VerdictInput* in);
int verdict_has_reason(const Verdict* v, const char* key);
