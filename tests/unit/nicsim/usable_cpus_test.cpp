// The CPU quota explore's default --jobs follows, read from a file tree laid out as the kernel lays
// out /proc/self/cgroup, /proc/self/mountinfo and the cgroup files (v2 cpu.max, v1 cfs quota and
// period), for the layouts a process meets: a host, a nested group, a container.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/nicsim_process.h"
#include "tools/nicsim/cli/usable_cpus.h"

namespace {

void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

TEST(UsableCpus, CgroupQuotasOfEitherVersionBindTheirChildren) {
    using nicsim::CgroupCpuQuota;
    {
        // cgroup v2, a service nested in a slice: the slice's 1.5 processors bind the service that
        // has no limit of its own; rounded up, two workers.
        testing_support::ScratchDir root;
        Write(root / "proc/self/cgroup", "0::/work.slice/sweep.service\n");
        Write(root / "proc/self/mountinfo",
              "22 1 0:21 / / rw - ext4 /dev/sda1 rw\n"
              "35 22 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw\n");
        Write(root / "sys/fs/cgroup/work.slice/cpu.max", "150000 100000\n");
        Write(root / "sys/fs/cgroup/work.slice/sweep.service/cpu.max", "max 100000\n");
        EXPECT_EQ(CgroupCpuQuota(root.path().string()), 2u);
        // A child stricter than its parent wins; a quarter of a processor is still one worker.
        Write(root / "sys/fs/cgroup/work.slice/sweep.service/cpu.max", "25000 100000\n");
        EXPECT_EQ(CgroupCpuQuota(root.path().string()), 1u);
        // No limit anywhere: no quota.
        Write(root / "sys/fs/cgroup/work.slice/cpu.max", "max 100000\n");
        Write(root / "sys/fs/cgroup/work.slice/sweep.service/cpu.max", "max 100000\n");
        EXPECT_EQ(CgroupCpuQuota(root.path().string()), std::nullopt);
    }
    {
        // cgroup v1 in a container without a cgroup namespace: the cpu hierarchy's root is the
        // container's own group, which /proc/self/cgroup names in full; a mount point with a space.
        testing_support::ScratchDir root;
        Write(root / "proc/self/cgroup", "5:memory:/kubepods/pod1/c1\n3:cpu,cpuacct:/kubepods/pod1/c1\n1:name=systemd:/\n");
        Write(root / "proc/self/mountinfo",
              "40 30 0:35 /kubepods/pod1/c1 /sys/fs/cgroup/cpu\\040acct ro,nosuid - cgroup cgroup rw,cpu,cpuacct\n"
              "41 30 0:36 /kubepods/pod1/c1 /sys/fs/cgroup/memory ro,nosuid - cgroup cgroup rw,memory\n");
        Write(root / "sys/fs/cgroup/cpu acct/cpu.cfs_quota_us", "300000\n");
        Write(root / "sys/fs/cgroup/cpu acct/cpu.cfs_period_us", "100000\n");
        Write(root / "sys/fs/cgroup/memory/cpu.cfs_quota_us", "100000\n");  // not the cpu hierarchy
        Write(root / "sys/fs/cgroup/memory/cpu.cfs_period_us", "100000\n");
        EXPECT_EQ(CgroupCpuQuota(root.path().string()), 3u);
        Write(root / "sys/fs/cgroup/cpu acct/cpu.cfs_quota_us", "-1\n");
        EXPECT_EQ(CgroupCpuQuota(root.path().string()), std::nullopt);
    }
}

}  // namespace
