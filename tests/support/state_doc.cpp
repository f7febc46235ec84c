#include "tests/support/state_doc.h"

#include <unistd.h>

StateDoc& StateDoc::set(const std::string& key, const std::string& raw) {
    for (auto& kv : keys_)
        if (kv.first == key) {
            kv.second = raw;
            return *this;
        }
    keys_.emplace_back(key, raw);
    return *this;
}

StateDoc& StateDoc::erase(const std::string& key) {
    for (auto it = keys_.begin(); it != keys_.end(); ++it)
        if (it->first == key) {
            keys_.erase(it);
            break;
        }
    return *this;
}

std::string StateDoc::json() const {
    std::string out = "{";
    for (const auto& kv : keys_) {
        if (out.size() > 1) out += ",";
        out += "\"" + kv.first + "\":" + kv.second;
    }
    return out + "}";
}

std::string q(const std::string& text) {
    return "\"" + text + "\"";
}

std::string running_codes() {
    std::string codes(4096, '.');
    for (int i = 0; i < 2000; ++i) codes[i] = "abac"[i % 4];
    codes[126] = 'B';
    codes[700] = 'e';
    codes[701] = 'f';
    codes[1500] = 'L';
    codes[1999] = 'E';
    return codes;
}

StateDoc running_doc() {
    StateDoc d;
    d.set("v", "1")
        .set("serial", q("WD-WCC4E1234567"))
        .set("wwn", q("50014ee2b5c2a1f0"))
        .set("model", q("WDC WD40EFRX-68N32N0"))
        .set("dev", q("/dev/sdc"))
        .set("kind", q("sat"))
        .set("mode", q("full"))
        .set("pid", std::to_string(::getpid()))
        .set("status", q("running"))
        .set("error", q(""))
        .set("phase", q("verify"))
        .set("started_ts", std::to_string(kStateDocNow - 3600))
        .set("updated_ts", std::to_string(kStateDocNow - 1))
        .set("finished_ts", "0")
        .set("eta_s", "26816")
        .set("capacity_bytes", "4000787030016")
        .set("logical_block_size", "512")
        .set("md_member", q("md1"))
        .set("md_all", q("md1"))
        .set("controller", q("0000:00:17.0"))
        .set("ata_port", q("ata3"))
        .set("selftest",
             R"({"type":"short","status":"skipped","remaining_pct":0,"lba_first_error":null})")
        .set("map",
             R"({"cells":4096,"cell_bytes":976224256,"method":"verify","done":2000,"codes":")" +
                 running_codes() + "\"}")
        .set("buckets_ms", "[10,25,50,150,500]")
        .set(
            "stats",
            R"({"verify_mib":1862000,"verify_errors":2,"read_samples":0,"read_errors":0,"slow_cells":2})")
        .set(
            "speed",
            R"({"cur_mibs":182.4,"avg_mibs":175.0,"dev_mibs":180.2,"peak_mibs":201.3,"max_rate_mibs":0,"idle_s":12,"step_s":2,"hist":[170,180,175]})")
        .set(
            "thermal",
            R"({"sensor":"smart","state":"ok","temp_c":41,"max_c":43,"limit_c":55,"warm_c":52,"resume_c":50,"limit_src":"default","duty_pct":100,"pauses":1,"paused_s":90,"slowed_s":0,"wctemp_c":60,"hist":[40,null,41]})")
        .set(
            "bad",
            R"([{"lba":123456,"kind":"media","via":"verify","repeat":"0/0","code":"B","cell":126,"lba_exact":true},{"lba":7777,"kind":"link","via":"read","repeat":"3/3","repeat_read":"1/3","code":"L","cell":1500,"lba_exact":false}])")
        .set(
            "snap0",
            R"({"ts":1799996400,"smart":true,"a5":8,"a197":0,"a198":0,"a199":3,"phy":{"0x0001":0,"0x000b":2},"power_on_hours":20000,"sata_spd":"6.0 Gb/s"})")
        .set("snap1", "{}")
        .set(
            "deltas",
            R"({"a5":0,"a187":0,"a188":0,"a197":0,"a198":0,"a199":0,"phy":{"0x0001":2,"0x000b":3},"xerror_icrc":0,"xerror_unc":0,"ering_bus":0,"ering_media":0,"spd_drop":false,"dmesg_link":0,"dmesg_media":0,"history":{"a5":8}})")
        .set(
            "siblings",
            R"([{"dev":"/dev/sdd","serial":"S1","crc_delta":0,"phy_delta":4},{"dev":"/dev/sde","serial":"S2","crc_delta":null,"phy_delta":null},5])")
        .set("verdict", "null");
    return d;
}

StateDoc finished_doc() {
    StateDoc d = running_doc();
    d.set("status", q("done"))
        .set("phase", q("verdict"))
        .set("finished_ts", std::to_string(kStateDocNow - 10))
        .set("eta_s", "0")
        .set(
            "verdict",
            R"({"code":"bad","reasons":[{"key":"media_repeatable","n":1},{"key":"crc_grew","n":41},{"key":"clean","n":null}]})");
    return d;
}
