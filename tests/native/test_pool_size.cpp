// How the process-wide pool's size is chosen: environment values, affinity, cgroup quotas.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "check.hpp"
#include "pool/pool_size.hpp"

using namespace vandra::pool;
namespace fs = std::filesystem;

TEST_CASE("pool size from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the default") {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    struct Row {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t want;
    };
    // The default is 4 throughout.
    const Row rows[] = {
        {nullptr, nullptr, 4},
        {"0", nullptr, 4},
        {"0", "3", 4},  // 0 asks for the default; RAYON_RS_NUM_CPUS is not consulted
        {"+0", "3", 4},
        {"3", "5", 3},
        {"+3", nullptr, 3},
        {"007", nullptr, 7},
        {"18446744073709551615", nullptr, kMax},
        // Not a number: RAYON_RS_NUM_CPUS decides.
        {"3 ", nullptr, 4},
        {" 3", "5", 5},
        {"-1", "2", 2},
        {"++3", "2", 2},
        {"+", "2", 2},
        {"abc", nullptr, 4},
        {"abc", "3", 3},
        {"", "3", 3},
        {"99999999999999999999999", "3", 3},
        {"18446744073709551616", "3", 3},
        {"\xff\xfe", "3", 3},  // not UTF-8
        {"\xd9\xa3", "3", 3},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
        {nullptr, "0", 4},
        {nullptr, "+7", 7},
        {nullptr, "7x", 4},
        {"abc", "\xc3\x28", 4},
    };
    for (const Row& r : rows) {
        if (pool_size_from_env(r.num_threads, r.rs_num_cpus, 4) != r.want) {
            std::printf("  RAYON_NUM_THREADS=%s RAYON_RS_NUM_CPUS=%s\n",
                        r.num_threads ? r.num_threads : "(unset)",
                        r.rs_num_cpus ? r.rs_num_cpus : "(unset)");
            CHECK(false);
        }
    }
}

TEST_CASE("cgroup CPU quota values") {
    using detail::parse_cfs_quota;
    using detail::parse_cpu_max;
    CHECK(!parse_cpu_max("max 100000\n"));
    CHECK(parse_cpu_max("200000 100000\n") == 2u);
    CHECK(parse_cpu_max("150000 100000") == 2u);  // rounded up
    CHECK(parse_cpu_max("50000 100000") == 1u);   // at least one
    CHECK(!parse_cpu_max(""));
    CHECK(!parse_cpu_max("100000"));
    CHECK(!parse_cpu_max("abc 100000"));
    CHECK(!parse_cpu_max("100000 0"));
    CHECK(!parse_cfs_quota("-1\n", "100000\n"));
    CHECK(parse_cfs_quota("250000\n", "100000\n") == 3u);
    CHECK(parse_cfs_quota("1000", "100000") == 1u);
    CHECK(!parse_cfs_quota("x", "100000"));
}

namespace {

struct FakeRoot {
    FakeRoot() {
        char tmpl[] = "/tmp/vandra_cgroup_XXXXXX";
        CHECK(mkdtemp(tmpl) != nullptr);
        path = tmpl;
    }
    ~FakeRoot() { fs::remove_all(path); }
    void write(const std::string& file, const std::string& text) const {
        const fs::path p = path + file;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    std::string path;
};

}  // namespace

TEST_CASE("cgroup v2: the tightest cpu.max on the way up to the mount") {
    FakeRoot root;
    const std::string mountinfo =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "30 22 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
    const std::string cgroup = "0::/user.slice/app.scope\n";
    CHECK(!detail::cgroup_cpu_limit(cgroup, mountinfo, root.path));  // no files: no limit

    root.write("/sys/fs/cgroup/user.slice/app.scope/cpu.max", "max 100000\n");
    root.write("/sys/fs/cgroup/user.slice/cpu.max", "300000 100000\n");
    CHECK(detail::cgroup_cpu_limit(cgroup, mountinfo, root.path) == 3u);
    root.write("/sys/fs/cgroup/user.slice/app.scope/cpu.max", "150000 100000\n");
    CHECK(detail::cgroup_cpu_limit(cgroup, mountinfo, root.path) == 2u);

    // The root cgroup, and a mount point with an escaped space.
    root.write("/cg roup/cpu.max", "100000 100000\n");
    CHECK(detail::cgroup_cpu_limit("0::/\n", "30 22 0:26 / /cg\\040roup rw - cgroup2 none rw\n",
                                   root.path) == 1u);
    // A cgroup outside what the mount shows is not guessed at.
    CHECK(!detail::cgroup_cpu_limit(cgroup, "30 22 0:26 /other /sys/fs/cgroup rw - cgroup2 x rw\n",
                                    root.path));
}

TEST_CASE("cgroup v1: cfs quota on the cpu controller's hierarchy") {
    FakeRoot root;
    const std::string mountinfo =
        "40 30 0:35 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:9 - cgroup cgroup "
        "rw,cpu,cpuacct\n"
        "41 30 0:36 / /sys/fs/cgroup/memory rw shared:10 - cgroup cgroup rw,memory\n";
    const std::string cgroup = "5:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n0::/\n";
    const std::string dir = "/sys/fs/cgroup/cpu,cpuacct/docker";
    root.write(dir + "/abc/cpu.cfs_quota_us", "-1\n");
    root.write(dir + "/abc/cpu.cfs_period_us", "100000\n");
    root.write(dir + "/cpu.cfs_quota_us", "200000\n");
    root.write(dir + "/cpu.cfs_period_us", "100000\n");
    CHECK(detail::cgroup_cpu_limit(cgroup, mountinfo, root.path) == 2u);

    // In a container the mount's root is the container's own cgroup.
    const std::string container_mountinfo =
        "40 30 0:35 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n";
    root.write("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "450000\n");
    root.write("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    CHECK(detail::cgroup_cpu_limit("3:cpu:/docker/abc\n", container_mountinfo, root.path) == 5u);

    // Without a cpu controller mounted there is nothing to read.
    CHECK(!detail::cgroup_cpu_limit(cgroup, "41 30 0:36 / /m rw - cgroup cgroup rw,memory\n",
                                    root.path));
}

TEST_CASE("the default pool size is at least one") {
    const std::size_t n = default_pool_size();
    CHECK(n >= 1);
    CHECK(pool_size_from_env(nullptr, nullptr, n) == n);
}

CHECK_MAIN()
