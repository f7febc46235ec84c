#include "tests/hw/qemu_guest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/run.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "tests/support/fake_nas.h"
#include "tests/support/loop_device.h"

namespace {

constexpr char kQemu[] = "qemu-system-x86_64";
constexpr char kSmartctl[] = "/usr/sbin/smartctl";
constexpr int kGuestMemoryMib = 640;
constexpr int kMonitorTimeoutMs = 10000;

using Clock = std::chrono::steady_clock;

bool is_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string find_in_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// 64-bit FNV-1a over the image's 8-byte words: any write changes it.
std::uint64_t image_sum(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(1 << 20);
    std::uint64_t h = 0xcbf29ce484222325ULL;
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        const std::size_t n = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, buf.data() + i, 8);
            h = (h ^ w) * 0x100000001b3ULL;
        }
    }
    return h;
}

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// A blkdebug rule per bad sector: every read covering it fails with its errno.
std::string blkdebug_rules(const std::vector<HwBadSector>& bad) {
    std::string conf;
    for (const HwBadSector& b : bad)
        conf += "[inject-error]\nevent = \"read_aio\"\nsector = \"" + std::to_string(b.sector) +
                "\"\nerrno = \"" + std::to_string(b.err) + "\"\nonce = \"off\"\n\n";
    return conf;
}

// Splits at blanks; none of the words given to it holds one.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The command line of one guest: the machine, then its disks, each
// controller added once before its first disk.
class QemuCommand {
   public:
    QemuCommand(const std::string& dir, const std::string& image_dir) : dir_(dir) {
        args_ =
            words(std::string(kQemu) + " -machine pc -accel tcg,thread=multi -cpu max -smp 1 -m " +
                  std::to_string(kGuestMemoryMib) + " -display none -no-reboot");
        add({"-kernel", image_dir + "/kernel", "-initrd", image_dir + "/initramfs.cpio", "-append",
             "console=ttyS0 quiet panic=-1 log_buf_len=1M"});
        add({"-serial", "file:" + dir + "/console.log"});
        add({"-monitor", "unix:" + dir + "/monitor.sock,server=on,wait=off"});
        add({"-virtfs", "local,path=" + dir + "/share,mount_tag=hw,security_model=none,id=hw"});
    }

    // Every disk gets a WWN: mptsas reports a disk without one as SAS
    // address 0, and the kernel then attaches nothing.
    void add_disk(const HwDisk& d) {
        add({"-drive", "if=none,format=raw,id=" + d.id + ",file=" + drive_file(d)});
        const std::string wwn = hex(0x5000c50000000000ULL + ++disks_);
        const std::string tail = ",drive=" + d.id + ",id=" + d.id + ",serial=" + d.serial +
                                 ",wwn=" + wwn + (d.options.empty() ? "" : "," + d.options);
        if (d.bus == "sata") {
            if (sata_ports_ == 0) add({"-device", "ahci,id=ctl-ahci"});
            add({"-device", "ide-hd,bus=ctl-ahci." + std::to_string(sata_ports_++) +
                                ",model=HW SATA " + d.serial + tail});
        } else if (d.bus == "scsi") {
            if (scsi_ids_ == 0) add({"-device", "virtio-scsi-pci,id=ctl-vscsi"});
            add({"-device", "scsi-hd,bus=ctl-vscsi.0,scsi-id=" + std::to_string(scsi_ids_++) +
                                ",vendor=HW,product=" + d.serial + tail});
        } else if (d.bus == "sas") {
            if (sas_ids_ == 0) add({"-device", "mptsas1068,id=ctl-sas"});
            add({"-device", "scsi-hd,bus=ctl-sas.0,scsi-id=" + std::to_string(sas_ids_++) +
                                ",vendor=HW,product=" + d.serial + tail});
        } else if (d.bus == "nvme") {
            add({"-device", "nvme,id=" + d.id + "c,serial=" + d.serial +
                                (d.options.empty() ? "" : "," + d.options)});
            add({"-device", "nvme-ns,bus=" + d.id + "c,drive=" + d.id + ",id=" + d.id + ",nsid=1"});
        }
    }

    const std::vector<std::string>& args() const { return args_; }

   private:
    void add(std::initializer_list<std::string> more) { args_.insert(args_.end(), more); }

    // The image, behind blkdebug when the disk has bad sectors.
    std::string drive_file(const HwDisk& d) const {
        const std::string image = dir_ + "/" + d.id + ".img";
        if (d.bad.empty()) return image;
        write_file(dir_ + "/" + d.id + ".blkdebug", blkdebug_rules(d.bad));
        return "blkdebug:" + dir_ + "/" + d.id + ".blkdebug:" + image;
    }

    std::string dir_;
    std::vector<std::string> args_;
    unsigned disks_ = 0;
    int sata_ports_ = 0;
    int scsi_ids_ = 0;
    int sas_ids_ = 0;
};

pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv;
    for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_RDONLY);
        if (fd < 0 || null < 0) ::_exit(126);
        ::dup2(null, 0);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::setpgid(0, 0);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Reads from the monitor until its prompt; false on time-out or close.
bool read_to_prompt(int fd, std::string* text) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kMonitorTimeoutMs);
    char buf[4096];
    while (text->find("(qemu) ") == std::string::npos) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        text->append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

// One human monitor command; its reply (with QEMU's echo of the command).
std::string monitor_command(const std::string& socket_path, const std::string& command) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
    if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return "error: no monitor";
    std::string greeting;
    if (!read_to_prompt(fd.get(), &greeting)) return "error: no prompt";
    const std::string line = command + "\n";
    if (::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "error: write";
    std::string reply;
    if (!read_to_prompt(fd.get(), &reply)) return "error: no reply";
    reply.erase(reply.rfind("(qemu) "));
    const std::size_t echo_end = reply.find('\n');  // QEMU echoes the command first
    return echo_end == std::string::npos ? "" : reply.substr(echo_end + 1);
}

struct Running {
    HwGuestPlan plan;
    HwGuest guest;
    pid_t pid = -1;
    Clock::time_point start;
};

// The guest asks for a monitor command by moving a file named req into its
// share; the answer goes to ack, and req is removed once it is answered.
void serve_monitor_request(Running& r) {
    const std::string share = r.guest.dir + "/share";
    const std::string req = share + "/req";
    if (!is_file(req)) return;
    std::string command = read_file(req);
    while (!command.empty() && command.back() == '\n') command.pop_back();
    write_file(share + "/ack.tmp", monitor_command(r.guest.dir + "/monitor.sock", command));
    ::unlink(req.c_str());
    ::rename((share + "/ack.tmp").c_str(), (share + "/ack").c_str());
}

void prepare(Running& r, const std::string& image_dir) {
    const std::string share = r.guest.dir + "/share";
    make_dirs(share);
    write_file(share + "/scenario.sh",
               read_file(std::string(HW_DIR) + "/scenarios/" + r.plan.scenario + ".sh"));
    write_file(share + "/lib.sh", read_file(std::string(HW_DIR) + "/guest/lib.sh"));
    int boot_disks = 0;
    for (const HwDisk& d : r.plan.disks) {
        write_pattern_image(r.guest.dir + "/" + d.id + ".img", std::uint64_t{d.size_mib} << 20);
        r.guest.images.push_back({d.id, image_sum(r.guest.dir + "/" + d.id + ".img"), 0});
        if (d.bus != "spare") ++boot_disks;
    }
    write_file(share + "/env", "HW_BOOT_DISKS=" + std::to_string(boot_disks) + "\n" + r.plan.env);
    QemuCommand qemu(r.guest.dir, image_dir);
    for (const HwDisk& d : r.plan.disks) qemu.add_disk(d);
    const std::vector<std::string>& args = qemu.args();
    std::string command_line;
    for (const std::string& s : args) command_line += s + " ";
    write_file(r.guest.dir + "/qemu.cmd", command_line + "\n");
    r.start = Clock::now();
    r.pid = spawn(args, r.guest.dir + "/qemu.log");
}

void finish(Running& r) {
    r.guest.seconds = std::chrono::duration<double>(Clock::now() - r.start).count();
    const std::string rc = r.guest.out("rc");
    r.guest.finished = !rc.empty() && !r.guest.timed_out;
    if (!rc.empty()) r.guest.scenario_rc = std::atoi(rc.c_str());
    for (HwImageSum& s : r.guest.images) s.after = image_sum(r.guest.dir + "/" + s.id + ".img");
}

}  // namespace

std::string HwGuest::out(const std::string& name) const {
    return read_file(dir + "/share/out/" + name);
}

std::string HwGuest::changed_images() const {
    std::string ids;
    for (const HwImageSum& s : images)
        if (s.before != s.after) ids += (ids.empty() ? "" : " ") + s.id;
    return ids;
}

std::string HwGuest::diagnostics() const {
    auto tail = [](const std::string& text) {
        return text.size() > 3000 ? "..." + text.substr(text.size() - 3000) : text;
    };
    return "guest " + name + " in " + dir + (timed_out ? " (killed at its time limit)" : "") +
           "\n--- console:\n" + tail(read_file(dir + "/console.log")) + "\n--- qemu:\n" +
           tail(read_file(dir + "/qemu.log")) + "\n--- scenario log:\n" + tail(out("log"));
}

std::string hw_missing_prerequisites() {
    std::string missing;
    for (const char* program : {kQemu, "busybox", "cpio", "depmod", "modprobe"})
        if (find_in_path(program).empty()) missing += std::string(" ") + program;
    if (::access(kSmartctl, X_OK) != 0) missing += std::string(" ") + kSmartctl;
    if (::system("ls /boot/vmlinuz-* >/dev/null 2>&1") != 0) missing += " /boot/vmlinuz-*";
    return missing;
}

std::string hw_build_image(const std::string& dir) {
    const std::string script = std::string(HW_DIR) + "/mkinitramfs.sh";
    const char* other = std::getenv("HW_CORVANTISD");
    const std::string corvantisd =
        std::string(other ? other : CORVANTISD_BIN) + ":/usr/bin/corvantisd";
    const std::string devcheck = std::string(HW_DEVCHECK_BIN) + ":/usr/bin/hw_devcheck";
    const char* const argv[] = {"/bin/sh",
                                "-c",
                                "exec /bin/sh \"$0\" \"$@\" 2>&1",
                                script.c_str(),
                                dir.c_str(),
                                kSmartctl,
                                corvantisd.c_str(),
                                devcheck.c_str(),
                                nullptr};
    StrBuf out;
    const int status = run_capture(argv, &out, 300);
    if (status == 0 && is_file(dir + "/initramfs.cpio")) return "";
    return "mkinitramfs.sh exited " + std::to_string(status) + ": " + out.c_str();
}

std::vector<HwGuest> hw_run_guests(const std::vector<HwGuestPlan>& plans,
                                   const std::string& image_dir, const std::string& base) {
    std::vector<Running> running(plans.size());
    for (std::size_t i = 0; i < plans.size(); ++i) {
        running[i].plan = plans[i];
        running[i].guest.name = plans[i].name.empty() ? plans[i].scenario : plans[i].name;
        running[i].guest.dir = base + "/" + running[i].guest.name;
        prepare(running[i], image_dir);
    }
    for (std::size_t left = running.size(); left > 0;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (Running& r : running) {
            if (r.pid < 0) continue;
            serve_monitor_request(r);
            int status = 0;
            if (::waitpid(r.pid, &status, WNOHANG) == r.pid) {
                r.pid = -1;
            } else if (Clock::now() - r.start > std::chrono::seconds(r.plan.time_limit_s)) {
                r.guest.timed_out = true;
                ::kill(-r.pid, SIGKILL);
                ::waitpid(r.pid, &status, 0);
                r.pid = -1;
            }
            if (r.pid < 0) {
                finish(r);
                --left;
            }
        }
    }
    std::vector<HwGuest> guests;
    for (Running& r : running) guests.push_back(r.guest);
    return guests;
}
