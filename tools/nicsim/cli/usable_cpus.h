// How many processors this process may keep busy: what `nicsim explore` starts as many workers
// for when `--jobs` is not given. A container or a `taskset` gives a process fewer processors than
// the machine has, in two ways: the scheduler affinity mask (taskset, cpusets) and the CFS
// bandwidth quota of its control group (a Kubernetes CPU limit, `docker run --cpus`).
#pragma once

#include <optional>
#include <string>

namespace nicsim {

// The processors in this thread's scheduler affinity mask; nullopt when it cannot be read.
std::optional<unsigned> AffinityCpus();

// The CPU bandwidth the control groups of this process allow, in processors rounded up (a quota
// of 1.5 processors is 2): the smallest over the process's cgroup and its ancestors, cgroup v2
// (`cpu.max`) or v1 (`cpu.cfs_quota_us` / `cpu.cfs_period_us`). Nullopt when no quota applies or
// none can be read. `root` is prepended to every path read (/proc/self/cgroup,
// /proc/self/mountinfo and the cgroup files); empty for the running system.
std::optional<unsigned> CgroupCpuQuota(const std::string& root = "");

// The smaller of the two, at least 1; the online processors when neither says anything.
unsigned UsableCpus();

}  // namespace nicsim
