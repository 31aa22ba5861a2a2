#include "tools/nicsim/bridge/tap.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nicsim {

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Enters a named network namespace for the lifetime of the object and returns to the one the
// thread was in. Everything that creates a descriptor bound to a namespace (the TAP device, the
// ioctl socket) is done while one of these is alive.
class NetnsScope {
public:
    explicit NetnsScope(const std::string& netns) {
        if (netns.empty()) {
            ok_ = true;
            return;
        }
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (home_ < 0) {
            error_ = Errno("cannot open /proc/self/ns/net");
            return;
        }
        const std::string path = "/var/run/netns/" + netns;
        const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (target < 0) {
            error_ = Errno("cannot open " + path + " (create it with `ip netns add " + netns + "`)");
            return;
        }
        if (setns(target, CLONE_NEWNET) != 0) {
            error_ = Errno("cannot enter network namespace " + netns);
            close(target);
            return;
        }
        close(target);
        ok_ = true;
    }
    ~NetnsScope() {
        if (home_ >= 0) {
            // Failing to return would leave every later socket in the wrong namespace.
            if (setns(home_, CLONE_NEWNET) != 0) std::abort();
            close(home_);
        }
    }
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }

private:
    int home_ = -1;
    bool ok_ = false;
    std::string error_;
};

}  // namespace

bool Tap::ParseName(const std::string& text, std::string& name, std::string& netns) {
    const auto at = text.find('@');
    name = text.substr(0, at);
    netns = at == std::string::npos ? std::string() : text.substr(at + 1);
    if (name.empty() || name.size() >= IFNAMSIZ) return false;
    if (at != std::string::npos && (netns.empty() || netns.find('/') != std::string::npos))
        return false;
    return true;
}

std::unique_ptr<Tap> Tap::Open(const std::string& name, const std::string& netns, unsigned mtu,
                               std::string& error) {
    std::unique_ptr<Tap> tap(new Tap);
    tap->name_ = name;
    tap->netns_ = netns;
    NetnsScope scope(netns);
    if (!scope.Ok()) {
        error = scope.Error();
        return nullptr;
    }
    tap->fd_ = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (tap->fd_ < 0) {
        error = Errno("cannot open /dev/net/tun");
        return nullptr;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(tap->fd_, TUNSETIFF, &ifr) != 0) {
        error = Errno("cannot create TAP interface " + tap->Label());
        return nullptr;
    }
    tap->control_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (tap->control_ < 0) {
        error = Errno("cannot open a control socket in " + (netns.empty() ? "this namespace" : netns));
        return nullptr;
    }
    ifreq m{};
    std::strncpy(m.ifr_name, name.c_str(), IFNAMSIZ - 1);
    m.ifr_mtu = static_cast<int>(mtu);
    if (ioctl(tap->control_, SIOCSIFMTU, &m) != 0) {
        error = Errno("cannot set the MTU of " + tap->Label());
        return nullptr;
    }
    // The medium is not up until the adapter says so.
    int off = 0;
    if (ioctl(tap->fd_, TUNSETCARRIER, &off) != 0) tap->carrierIoctl_ = false;
    if (!tap->SetFlags(tap->carrierIoctl_)) {
        error = Errno("cannot bring " + tap->Label() + " up");
        return nullptr;
    }
    return tap;
}

Tap::~Tap() {
    if (control_ >= 0) close(control_);
    if (fd_ >= 0) close(fd_);
}

bool Tap::SetFlags(bool up) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name_.c_str(), IFNAMSIZ - 1);
    if (ioctl(control_, SIOCGIFFLAGS, &ifr) != 0) return false;
    if (up) ifr.ifr_flags |= IFF_UP;
    else ifr.ifr_flags &= ~IFF_UP;
    return ioctl(control_, SIOCSIFFLAGS, &ifr) == 0;
}

bool Tap::SetCarrier(bool up) {
    if (carrierIoctl_) {
        int on = up ? 1 : 0;
        if (ioctl(fd_, TUNSETCARRIER, &on) == 0) return true;
        carrierIoctl_ = false;
    }
    return SetFlags(up);
}

bool Tap::SetAddress(const uint8_t mac[6]) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name_.c_str(), IFNAMSIZ - 1);
    ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(ifr.ifr_hwaddr.sa_data, mac, 6);
    return ioctl(control_, SIOCSIFHWADDR, &ifr) == 0;
}

bool Tap::Read(std::vector<uint8_t>& frame) {
    if (buffer_.empty()) buffer_.resize(65536);
    const ssize_t n = read(fd_, buffer_.data(), buffer_.size());
    if (n <= 0) {
        frame.clear();
        return false;
    }
    frame.assign(buffer_.begin(), buffer_.begin() + n);
    ++stats_.framesIn;
    stats_.bytesIn += static_cast<uint64_t>(n);
    return true;
}

bool Tap::Write(const uint8_t* data, size_t length) {
    const ssize_t n = write(fd_, data, length);
    if (n != static_cast<ssize_t>(length)) {
        ++stats_.writeFailures;
        return false;
    }
    ++stats_.framesOut;
    stats_.bytesOut += length;
    return true;
}

}  // namespace nicsim
