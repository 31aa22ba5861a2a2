#include "tools/nicsim/cli/usable_cpus.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace nicsim {

namespace {

std::optional<std::string> ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Split(std::string_view text, char by) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        const size_t end = text.find(by, at);
        parts.emplace_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) return parts;
        at = end + 1;
    }
}

// mountinfo writes a space, tab, newline and backslash in a path as \040, \011, \012 and \134.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field.find_first_not_of("01234567", i + 1) >= i + 4) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// Processors allowed by `quota` microseconds of every `period`, rounded up; nullopt for no limit.
std::optional<unsigned> QuotaCpus(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<unsigned>(std::max<long long>(1, (quota + period - 1) / period));
}

// cgroup v2: "max PERIOD" (no limit) or "QUOTA PERIOD".
std::optional<unsigned> CpuMax(const std::string& dir) {
    const auto text = ReadSmallFile(dir + "/cpu.max");
    if (!text) return std::nullopt;
    std::istringstream in(*text);
    std::string quota;
    long long period = 0;
    if (!(in >> quota >> period) || quota == "max") return std::nullopt;
    try {
        return QuotaCpus(std::stoll(quota), period);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// cgroup v1: cpu.cfs_quota_us is -1 when the group has no limit.
std::optional<unsigned> CfsQuota(const std::string& dir) {
    const auto quota = ReadSmallFile(dir + "/cpu.cfs_quota_us");
    const auto period = ReadSmallFile(dir + "/cpu.cfs_period_us");
    if (!quota || !period) return std::nullopt;
    try {
        return QuotaCpus(std::stoll(*quota), std::stoll(*period));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<unsigned> Smaller(std::optional<unsigned> a, std::optional<unsigned> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// The smallest limit from the process's group up to the top of the hierarchy mounted at
// `mountPoint` (whose own root is `mountRoot`): a parent's quota binds its children too.
std::optional<unsigned> HierarchyLimit(const std::string& root, const std::string& mountPoint,
                                       const std::string& mountRoot, const std::string& cgroupPath, bool v2) {
    // Without a cgroup namespace a container sees its own group as the mount's root and the full
    // path in /proc/self/cgroup; a path outside the mount's root is read at the mount point.
    std::string relative;
    if (mountRoot == "/") relative = cgroupPath;
    else if (cgroupPath.rfind(mountRoot, 0) == 0) relative = cgroupPath.substr(mountRoot.size());
    if (relative == "/") relative.clear();
    std::optional<unsigned> limit;
    for (;;) {
        const std::string dir = root + mountPoint + relative;
        limit = Smaller(limit, v2 ? CpuMax(dir) : CfsQuota(dir));
        if (relative.empty()) return limit;
        relative.erase(std::min(relative.size(), relative.rfind('/')));
    }
}

}  // namespace

std::optional<unsigned> AffinityCpus() {
    for (int cpus = 1024; cpus <= (1 << 16); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        const int rc = sched_getaffinity(0, size, set);
        const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        const int why = errno;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? std::optional<unsigned>(count) : std::nullopt;
        if (why != EINVAL) return std::nullopt;  // EINVAL: the kernel's mask is larger than ours
    }
    return std::nullopt;
}

std::optional<unsigned> CgroupCpuQuota(const std::string& root) {
    const auto groups = ReadSmallFile(root + "/proc/self/cgroup");
    const auto mounts = ReadSmallFile(root + "/proc/self/mountinfo");
    if (!groups || !mounts) return std::nullopt;
    // "ID:CONTROLLERS:PATH" per hierarchy: "0::PATH" is the v2 one, v1 names its controllers.
    std::optional<std::string> v2Path, v1Path;
    for (const std::string& line : Split(*groups, '\n')) {
        const size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        const std::string path = line.substr(b + 1);
        if (line.substr(0, a) == "0" && controllers.empty()) v2Path = path;
        for (const std::string& c : Split(controllers, ','))
            if (c == "cpu") v1Path = path;
    }
    // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS".
    std::optional<unsigned> limit;
    bool v2Seen = false, v1Seen = false;
    for (const std::string& line : Split(*mounts, '\n')) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string w; in >> w;) f.push_back(w);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || f.end() - dash < 4) continue;
        const std::string& type = dash[1];
        const std::string mountRoot = Unescape(f[3]), mountPoint = Unescape(f[4]);
        if (type == "cgroup2" && v2Path && !v2Seen) {
            v2Seen = true;
            limit = Smaller(limit, HierarchyLimit(root, mountPoint, mountRoot, *v2Path, true));
        } else if (type == "cgroup" && v1Path && !v1Seen) {
            const auto options = Split(dash[3], ',');
            if (std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
            v1Seen = true;
            limit = Smaller(limit, HierarchyLimit(root, mountPoint, mountRoot, *v1Path, false));
        }
    }
    return limit;
}

unsigned UsableCpus() {
    std::optional<unsigned> cpus = Smaller(AffinityCpus(), CgroupCpuQuota());
    if (!cpus) cpus = static_cast<unsigned>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    return std::max(1u, *cpus);
}

}  // namespace nicsim
