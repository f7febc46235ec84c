#include "surface_test/verdict.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

std::int64_t clamp0(std::int64_t v) {
    return v > 0 ? v : 0;
}

void add_reason(Verdict* v, const char* key, std::int64_t n) {
    if (v->count >= kVerdictReasonMax || verdict_has_reason(v, key)) return;
    v->reasons[v->count].key = key;
    v->reasons[v->count].n = n;
    ++v->count;
}

// Evidence of media damage that grew during the test.
std::int64_t media_grew(const VerdictInput& in) {
    return clamp0(in.d_a5) + clamp0(in.d_a197) + clamp0(in.d_a198) + clamp0(in.d_nvme_media);
}

// Media evidence that did not repeat or that only the drive's logs show.
std::int64_t media_unconfirmed(const VerdictInput& in) {
    return in.media_unconfirmed + clamp0(in.xerr_unc) + clamp0(in.d_a187) + in.dmesg_media +
           in.ering_media;
}

std::int64_t timeouts(const VerdictInput& in) {
    return in.cells_e + (in.d_a188 > 0 ? 1 : 0);
}

// Damage the disk had before the test and that did not grow during it.
std::int64_t history(const VerdictInput& in) {
    std::int64_t h = 0;
    if (in.d_a5 < 1) h += in.s0_a5;
    if (in.d_a197 < 1) h += in.s0_a197;
    if (in.d_a198 < 1) h += in.s0_a198;
    if (in.d_nvme_media < 1) h += in.s0_nvme_media;
    return h;
}

int link_reasons_if(Verdict* v, const VerdictInput& in) {
    return in.link_analysis ? verdict_add_link_reasons(v, &in) : 0;
}

void media_reasons(Verdict* v, const VerdictInput& in) {
    if (in.media_confirmed > 0) add_reason(v, "media_repeatable", in.media_confirmed);
    const std::int64_t g = media_grew(in);
    if (g != 0) add_reason(v, "media_grew", g);
}

void bad_tail(Verdict* v, const VerdictInput& in) {
    link_reasons_if(v, in);
    if (in.fatal) add_reason(v, "dropped_off", 1);
    if (in.thermal_stop) add_reason(v, "thermal_stop", in.done);
}

void decide(Verdict* v, const VerdictInput& in) {
    const bool st_failed = in.selftest && std::strcmp(in.selftest, "failed") == 0;
    const std::int64_t u = media_unconfirmed(in);
    const std::int64_t t = timeouts(in);
    if (st_failed || in.media_confirmed > 0 || media_grew(in) != 0) {
        v->code = "bad";
        if (st_failed) add_reason(v, "selftest_failed", 1);
        media_reasons(v, in);
        bad_tail(v, in);
        return;
    }
    if (in.fatal) {
        v->code = "inconclusive";
        add_reason(v, "dropped_off", 1);
        link_reasons_if(v, in);
        if (in.thermal_stop) add_reason(v, "thermal_stop", in.done);
        return;
    }
    // A run that the thermal guard ended skipped part of its work (the map, or
    // the samples, repeat pass and self-test after it): judged like a map cut
    // short, so it is never reported clean.
    if (in.done < in.cells || in.thermal_stop) {
        v->code = "inconclusive";
        if (in.thermal_stop) add_reason(v, "thermal_stop", in.done);
        const int l = link_reasons_if(v, in);
        if (u > 0)
            add_reason(v, "media_unconfirmed", u);
        else if (t > 0 && l == 0)
            add_reason(v, "timeouts_only", t);
        return;
    }
    if (in.cells_b != 0) {
        v->code = "inconclusive";
        add_reason(v, "media_unconfirmed", u > 0 ? u : in.cells_b);
        link_reasons_if(v, in);
        return;
    }
    Verdict scratch{};
    const int l = link_reasons_if(&scratch, in);
    if (l > 0) {
        v->code = "link";
        link_reasons_if(v, in);
        if (u > 0) add_reason(v, "media_unconfirmed", u);
    } else if (t == 0 && u == 0) {
        v->code = in.cells_l == 0 ? "good" : "inconclusive";
        if (in.cells_l == 0) add_reason(v, "clean", 0);
    } else {
        v->code = "inconclusive";
        if (u > 0)
            add_reason(v, "media_unconfirmed", u);
        else
            add_reason(v, "timeouts_only", t);
    }
}

}  // namespace

int verdict_has_reason(const Verdict* v, const char* key) {
    for (int i = 0; i < v->count && i < kVerdictReasonMax; ++i)
        if (std::strcmp(v->reasons[i].key, key) == 0) return 1;
    return 0;
}

int verdict_add_link_reasons(Verdict* v, const VerdictInput* in) {
    int present = 0;
    auto indicator = [&](bool on, const char* key, std::int64_t n) {
        if (!on) return;
        add_reason(v, key, n);
        ++present;
    };
    indicator(in->link_by_read > 0, "link_read_only", in->link_by_read);
    const std::int64_t crc = std::max(
        {in->d_a199, in->d_phy_crc, in->xerr_icrc, static_cast<std::int64_t>(in->link_by_verify)});
    indicator(crc > 0, "crc_grew", crc);
    indicator(in->d_phy_other > 0, "phy_errors", in->d_phy_other);
    indicator(in->ering_bus > 0, "ering_bus", in->ering_bus);
    indicator(in->speed_drop != 0, "speed_drop", 1);
    indicator(in->dmesg_link > 0, "dmesg_link", in->dmesg_link);
    return present;
}

void verdict_compute(const VerdictInput* in, Verdict* out) {
    *out = Verdict{};
    decide(out, *in);
    if (in->siblings_rising > 0) add_reason(out, "shared_path", in->siblings_rising);
    if (in->read_fallback) add_reason(out, "verify_unsupported", 1);
    if (in->is_nvme) add_reason(out, "nvme_no_link_analysis", 0);
    const std::int64_t h = history(*in);
    if (h > 0) add_reason(out, "history_realloc", h);
}
