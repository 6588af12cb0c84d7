// ft232r-usb: runs a command with FT232R chips emulated at the Linux kernel's
// USB interface (sysfs and usbfs) by umockdev, so that the unchanged libusb
// and libftdi1 inside the command reach them as they reach real devices.
//
//   ft232r-usb [--log FILE] [--fault F[,F...]] [--fault-at PLACE=F[,F...]]...
//              [--bus-ms MS] [--control FIFO] IMAGE... -- COMMAND [ARG...]
//
// Each IMAGE is an EEPROM image file as ft232r-image makes it (the 128-byte
// user area, optionally followed by the 128-byte factory area); the chips sit
// on bus 1 at ports 1, 2, ..., or where IMAGE@B-P[.P...] puts them (bus B,
// the port at each hub tier: 1-3.1 is port 1 of a hub at port 3 of bus 1's
// root hub; the hubs are added as needed).  Each kept word write is saved to
// its file at once.  IMAGE may name another kind of device instead, which the host lists
// but must never send a request (each request is logged):
//   ft232bm:IMAGE        an FT232BM, FTDI's chip before the FT232R (release 4.00)
//   hid:IMAGE            a device of release 6.00 whose one interface is HID (class 3)
// Faults (--fault: every chip, deny, signal= and move= the first;
// --fault-at: the chip at PLACE too), the chip's own by the names the
// emulated D2XX library takes in FT232R_EMULATOR_FAULT:
//   writes=N             N EEPROM word writes succeed; every later one is stalled
//   clone                word writes acknowledged but not kept
//   per-word             no pair buffer: every word write stored at once (the
//                        chip otherwise stores a pair when its odd word is written)
//   stale-buffer         an even word write never reaches the pair buffer
//   and-writes           a kept word write leaves old AND new in the cells
//   unplug=N             after N control transfers the chip is gone: every
//                        request fails with ENODEV
//   unplug=reset         the chip is gone at its port reset (the host does not
//                        find it again)
//   busy                 the interface is claimed by another program (EBUSY)
//   reset-gone           the port reset is answered ENODEV
//   no-disconnect-claim  a kernel without USBDEVFS_DISCONNECT_CLAIM (ENOTTY)
//   deny                 the device node is root's, mode 0600; run the command
//                        as another user to have it refused (EACCES)
//   stall=RR             every control request RR (hex bRequest) is stalled
//   signal=S@N           the first chip sends signal S to the command at its
//   signal=S@reset       Nth control transfer (or at its port reset), then
//                        waits 100 ms before it answers: a signal at a known
//                        stage, with time for it to take effect
//   move=PLACE           the first chip, once the host has read its serial
//   move=none            string (a listing's last request), is unplugged and
//                        plugged in at PLACE (B-P[.P...]), or nowhere
// --bus-ms MS: each control transfer takes MS milliseconds, as on a real bus,
// the chips answering side by side (each on a thread of its own).
// --control FIFO: while the command runs, lines written to FIFO plug a chip
// in ("plug IMAGE@PLACE"), unplug one ("unplug PLACE") or send the command
// a signal ("signal S"), as hands at a bench do.
// The command starts with SIGINT, SIGTERM, SIGHUP and SIGQUIT at their
// default actions and unblocked (a shell starts background jobs with SIGINT
// and SIGQUIT ignored), and without core dumps.
// The log gets one line per control transfer and per interface operation,
// and at the end one line per chip with its kernel driver, latency timer and
// the strings the host sees; each line starts with the chip's place (1-1).
// The command finds the log in FT232R_USB_LOG and may append lines of its own.  Exit status: the
// command's (128 + signal when a signal ended it); 77 when umockdev cannot run here; 2 for a usage
// error (an unknown or malformed fault among them); 1 when the command cannot be started.
//
// The chip is usb_chip.hpp, its places and faults usb_faults.hpp, each
// compiled here; this file reads the options, builds umockdev's testbed and
// runs the command.
// One program compiled at once: the headers of its parts bring umockdev,
// the model and the standard headers they share.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "usb_chip.hpp"

namespace ft232r_usb {
namespace {

constexpr int kExitSkip = 77;
constexpr int kExitUsage = 2;

using Chips = std::vector<std::unique_ptr<Chip>>;

// `command` with `environment` added, the command's signals at their
// default actions and unblocked, and no core dumps; `watched` (or null): where
// the chips' signal= finds the command.  Its exit status, 128 + the signal that
// ended it, or -1 when it could not be started.
int run(const std::vector<std::string>& environment, const std::vector<std::string>& command,
        std::atomic<pid_t>* watched) {
    // Everything the child needs is made before the fork: with umockdev's
    // thread running, the child may only make async-signal-safe calls
    // (putenv may allocate while that thread holds the allocator's lock).
    std::vector<std::string> variables = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string name(*entry, std::strcspn(*entry, "=") + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& set) { return set.rfind(name, 0) == 0; }))
            variables.emplace_back(*entry);
    }
    std::vector<char*> argv, envp;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    for (std::string& variable : variables) envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        execvpe(argv[0], argv.data(), envp.data());
        std::fprintf(stderr, "ft232r-usb: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    if (child < 0) {
        std::fprintf(stderr, "ft232r-usb: cannot start %s: %s\n", argv[0], std::strerror(errno));
        return -1;
    }
    if (watched != nullptr) *watched = child;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int usage() {
    std::fprintf(
        stderr,
        "usage: ft232r-usb [--log FILE] [--fault F[,F...]] [--fault-at PLACE=F[,F...]]...\n"
        "                  [--bus-ms MS] [--control FIFO] IMAGE... -- COMMAND [ARG...]\n");
    return kExitUsage;
}

int skip(const std::string& why) {
    std::fprintf(stderr, "ft232r-usb: umockdev cannot run here (%s): skipped\n", why.c_str());
    return kExitSkip;
}

// What the command line asks for, the faults aside.
struct Options {
    std::string logPath;
    std::vector<std::string> images;
    std::vector<std::string> command;
    std::map<std::string, std::string> faultsAt;  // place -> its faults
    unsigned busMs = 0;
    std::string control;  // the control channel's FIFO, when given
};

// 0, or the exit status of a usage error (said on stderr).
int parseOptions(int argc, char** argv, Options& options, Faults& faults) {
    int at = 1;
    for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
        const std::string option = argv[at];
        if (option == "--log" && at + 1 < argc) {
            options.logPath = argv[++at];
        } else if (option == "--fault" && at + 1 < argc) {
            if (!parseFaults(argv[++at], faults)) return kExitUsage;
        } else if (option == "--fault-at" && at + 1 < argc) {
            const std::string item = argv[++at];
            const std::size_t equals = item.find('=');
            Place place;
            Faults checked;
            if (equals == std::string::npos || !parsePlace(item.substr(0, equals), place) ||
                !parseFaults(item.substr(equals + 1), checked)) {
                return usage();
            }
            options.faultsAt[place.name()] = item.substr(equals + 1);
        } else if (option == "--control" && at + 1 < argc) {
            options.control = argv[++at];
        } else if (option == "--bus-ms" && at + 1 < argc) {
            long ms = 0;
            if (!ft232r::parseFaultNumber(argv[++at], 10, ms) || ms > 1000) return usage();
            options.busMs = static_cast<unsigned>(ms);
        } else if (option.rfind("--", 0) == 0) {
            return usage();
        } else {
            options.images.push_back(option);
        }
    }
    if (at + 1 >= argc || options.images.empty()) return usage();
    options.command.assign(argv + at + 1, argv + argc);
    return 0;
}

void openLog(const std::string& path, Log& log) {
    if (path.empty()) return;
    // Appended to, so that lines the command adds stay in order with ours.
    if (std::FILE* emptied = std::fopen(path.c_str(), "w")) std::fclose(emptied);
    log.file.reset(std::fopen(path.c_str(), "a"));
}

// Addresses as the host gives them: on each bus the root hub 1, then each
// hub and chip as it is plugged in.
struct Buses {
    std::map<long, unsigned> lastAddress;
    std::vector<Place> hubs;  // every hub a chip hangs off, root hubs first

    void plug(Place& place) {
        for (std::size_t tier = 0; tier < place.ports.size(); ++tier) {
            Place hub{place.bus, {place.ports.begin(), place.ports.begin() + tier}};
            if (std::none_of(hubs.begin(), hubs.end(),
                             [&](const Place& h) { return h.name() == hub.name(); })) {
                hub.address = ++lastAddress[place.bus];
                hubs.push_back(hub);
            }
        }
        place.address = ++lastAddress[place.bus];
    }
};

// A chip per IMAGE argument, plugged in in order, then the place move= takes
// the first one to.  0, or the exit status of a usage error.
// The chip of an IMAGE argument (IMAGE@PLACE, ft232bm:IMAGE, ...), plugged
// in at its place (by default port `index` + 1 of bus 1).  0, or the exit
// status of a usage error.
int newChip(std::string path, std::size_t index, const Options& options, Shared& shared,
            Buses& buses, std::unique_ptr<Chip>& chip) {
    Place place;
    place.ports = {static_cast<long>(index + 1)};
    const std::size_t where = path.rfind('@');
    if (where != std::string::npos) {
        if (!parsePlace(path.substr(where + 1), place)) return usage();
        path.erase(where);
    }
    buses.plug(place);
    const bool bm = path.rfind("ft232bm:", 0) == 0, hid = path.rfind("hid:", 0) == 0;
    const Kind kind{std::uint16_t(bm ? 0x0400 : 0x0600), std::uint8_t(hid ? 0x03 : 0xFF)};
    if (bm || hid) path.erase(0, path.find(':') + 1);
    std::vector<std::uint8_t> bytes;
    if (!ft232r::loadImageFile(path, bytes)) {
        std::fprintf(stderr, "ft232r-usb: %s: expected a 128- or 256-byte image\n", path.c_str());
        return kExitUsage;
    }
    Faults faults = shared.faults;
    const auto at = options.faultsAt.find(place.name());
    if (at != options.faultsAt.end()) parseFaults(at->second, faults);
    chip = std::make_unique<Chip>(path, std::move(bytes), place, kind, shared, faults);
    return 0;
}

// A chip per IMAGE argument, plugged in in order, then the place move= takes
// the first one to.  0, or the exit status of a usage error.
int makeChips(const Options& options, Shared& shared, Buses& buses, Chips& chips) {
    for (const std::string& image : options.images) {
        chips.emplace_back();
        if (const int status =
                newChip(image, chips.size() - 1, options, shared, buses, chips.back())) {
            return status;
        }
    }
    const std::optional<Place>& move = shared.faults.move;
    chips[0]->first = true;
    chips[0]->moveTo = move;
    if (move && !move->ports.empty()) buses.plug(*chips[0]->moveTo);
    return 0;
}

// umockdev's testbed with its handlers, removed with its files on every way
// out.  The testbed is hundreds of small files made and removed on every
// run: on a memory file system where there is one (several times faster
// than a disk here), unless TMPDIR says otherwise.  The command keeps the
// environment it was given.
struct Testbed {
    UMockdevTestbed* bed = nullptr;  // null: umockdev cannot make one here
    std::vector<UMockdevIoctlBase*> handlers;
    std::string root;

    Testbed() {
        const bool memory = std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0;
        if (memory) setenv("TMPDIR", "/dev/shm", 1);
        bed = umockdev_testbed_new();
        if (memory) unsetenv("TMPDIR");
        if (bed == nullptr) return;
        gchar* dir = umockdev_testbed_get_root_dir(bed);
        root = dir;
        g_free(dir);
    }
    ~Testbed() {
        for (UMockdevIoctlBase* handler : handlers) g_object_unref(handler);
        if (bed != nullptr) g_object_unref(bed);
    }
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;
};

// The hubs (USB 2.0) that the chips hang off, root hubs first, then the
// chips.  "", or why they could not be added.
// The hubs from `first` on, root hubs first, then `chip`: its handler,
// attached to its node before the device is added (the other order races),
// and the node move= takes it to.
bool addChip(Testbed& testbed, const std::vector<Place>& hubs, std::size_t first, Chip& chip,
             GError** error) {
    bool ok = true;
    for (std::size_t i = first; i < hubs.size(); ++i) {
        // Linux's root hub IDs (1d6b:0002); device, configuration, interface
        // (class 9, hub), interrupt endpoint 0x81.
        const std::string record = hubs[i].record(480, 0x1d6b, 0x0002, 0x0601,
                                                  "12010002090001406b1d0200010603020101"
                                                  "09021900010100e000090400000109000000"
                                                  "0705810304000c",
                                                  false);
        ok = ok && umockdev_testbed_add_from_string(testbed.bed, record.c_str(), error);
    }
    auto attach = [&](const std::string& devnode) {
        testbed.handlers.push_back(chip.newHandler());
        return umockdev_testbed_attach_ioctl(testbed.bed, devnode.c_str(), testbed.handlers.back(),
                                             error);
    };
    chip.testbed = testbed.bed;
    return ok && attach(chip.devnode()) &&
           (!chip.moveTo || chip.moveTo->ports.empty() || attach(chip.moveTo->devnode())) &&
           umockdev_testbed_add_from_string(testbed.bed, chip.record().c_str(), error);
}

std::string addDevices(Testbed& testbed, const std::vector<Place>& hubs, const Chips& chips) {
    GError* error = nullptr;
    bool ok = true;
    for (std::size_t i = 0; i < chips.size() && ok; ++i) {
        ok = addChip(testbed, hubs, i == 0 ? 0 : hubs.size(), *chips[i], &error);
    }
    if (ok) return "";
    const std::string why = error != nullptr ? error->message : "testbed failed";
    g_clear_error(&error);
    return why;
}

// The testbed open to every user (search where someone may search), the
// device node of `chip` to root only: what a machine without the udev rule
// has.
void deny(const Testbed& testbed, const Chip& chip) {
    run({}, {"chmod", "-R", "a+rwX", testbed.root}, nullptr);
    chmod((testbed.root + chip.devnode()).c_str(), 0600);
}

// What the command gets on top of ours: the testbed, and the log.
std::vector<std::string> commandEnvironment(const Testbed& testbed, const std::string& logPath) {
    const char* preload = std::getenv("LD_PRELOAD");
    std::vector<std::string> environment = {
        "UMOCKDEV_DIR=" + testbed.root,
        std::string("LD_PRELOAD=libumockdev-preload.so.0") +
            (preload && *preload ? std::string(" ") + preload : "")};
    if (!logPath.empty()) environment.push_back("FT232R_USB_LOG=" + logPath);
    return environment;
}

// Whether the preload library takes effect: a shell under it must see the
// testbed's sysfs, not the machine's.
bool preloadTakesEffect(const Testbed& testbed, const Chip& chip,
                        const std::vector<std::string>& environment) {
    umockdev_testbed_set_attribute(testbed.bed, chip.syspath().c_str(), "ft232r_usb_probe",
                                   testbed.root.c_str());
    const std::string probe = "exec 2>/dev/null; read -r v < '" + chip.syspath() +
                              "/ft232r_usb_probe'; [ \"$v\" = '" + testbed.root + "' ]";
    return run(environment, {"/bin/sh", "-c", probe}, nullptr) == 0;
}

// The control channel: its commands carried out on a thread of its own
// while the command runs, until the object goes.
class Control {
  public:
    Control(const Options& options, Testbed& testbed, Shared& shared, Buses& buses, Chips& chips)
        : options_(options), testbed_(testbed), shared_(shared), buses_(buses), chips_(chips) {
        if (options.control.empty()) return;
        // Read and write: a FIFO so opened never blocks the open, and never
        // reads as ended when a writer closes it.
        fd_ = open(options.control.c_str(), O_RDWR | O_NONBLOCK);
        if (fd_ < 0) {
            std::fprintf(stderr, "ft232r-usb: cannot open %s\n", options.control.c_str());
            return;
        }
        thread_ = std::thread([this] { listen(); });
    }
    ~Control() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

  private:
    void listen() {
        std::string pending;
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) continue;
            char buffer[512];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0) pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                carryOut(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
    }

    void carryOut(const std::string& line) {
        const std::size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        const std::string what = space == std::string::npos ? "" : line.substr(space + 1);
        long signal = 0;
        if (verb == "plug") {
            plug(what);
        } else if (verb == "unplug") {
            for (const auto& chip : chips_) {
                if (chip->name() == what && chip->plugged()) chip->unplug();
            }
        } else if (verb == "signal" && ft232r::parseFaultNumber(what, 10, signal) &&
                   shared_.command > 0) {
            kill(shared_.command, static_cast<int>(signal));
        } else {
            std::fprintf(stderr, "ft232r-usb: control: what is \"%s\"?\n", line.c_str());
        }
    }

    void plug(const std::string& image) {
        std::unique_ptr<Chip> chip;
        const std::size_t hubs = buses_.hubs.size();
        if (newChip(image, chips_.size(), options_, shared_, buses_, chip) != 0) return;
        GError* error = nullptr;
        std::lock_guard<std::mutex> lock(shared_.testbed);
        const bool added = addChip(testbed_, buses_.hubs, hubs, *chip, &error);
        g_clear_error(&error);
        shared_.log.line("%s plugged in%s", chip->name().c_str(), added ? "" : " -> failed");
        chips_.push_back(std::move(chip));
    }

    const Options& options_;
    Testbed& testbed_;
    Shared& shared_;
    Buses& buses_;
    Chips& chips_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace
}  // namespace ft232r_usb

int main(int argc, char** argv) {
    using namespace ft232r_usb;
    Options options;
    Shared shared;
    if (const int status = parseOptions(argc, argv, options, shared.faults)) return status;
    openLog(options.logPath, shared.log);
    Buses buses;
    Chips chips;
    shared.busMs = options.busMs;
    if (const int status = makeChips(options, shared, buses, chips)) return status;

    Testbed testbed;
    if (testbed.bed == nullptr) return skip("no testbed");
    const std::string why = addDevices(testbed, buses.hubs, chips);
    if (!why.empty()) return skip(why);
    const std::vector<std::string> environment = commandEnvironment(testbed, options.logPath);
    if (!preloadTakesEffect(testbed, *chips[0], environment)) {
        return skip("libumockdev-preload.so.0 does not take effect");
    }
    if (shared.faults.deny) deny(testbed, *chips[0]);
    int status = 0;
    {
        const Control control(options, testbed, shared, buses, chips);
        status = run(environment, options.command, &shared.command);
    }
    for (const auto& chip : chips) shared.log.line("%s", chip->summary().c_str());
    return status < 0 ? 1 : status;
}
