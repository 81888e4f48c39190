#include "pool/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <vector>

namespace vandra::pool {

std::optional<std::size_t> parse_thread_count(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    std::size_t value = 0;
    for (; *p != '\0'; ++p) {
        // Anything but an ASCII digit, which includes every byte of a non-ASCII (or invalid
        // UTF-8) sequence, makes the whole value invalid.
        if (*p < '0' || *p > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(*p - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t default_size) noexcept {
    if (auto n = parse_thread_count(rayon_num_threads)) return *n > 0 ? *n : default_size;
    if (auto n = parse_thread_count(rayon_rs_num_cpus); n && *n > 0) return *n;
    return default_size;
}

namespace detail {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

std::optional<std::int64_t> parse_int(std::string_view s) {
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<std::size_t> cpus_for_quota(std::int64_t quota, std::int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const std::int64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return static_cast<std::size_t>(std::max<std::int64_t>(cpus, 1));
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(ss).str();
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (;;) {
        const auto pos = s.find(sep);
        out.push_back(s.substr(0, pos));
        if (pos == std::string_view::npos) return out;
        s.remove_prefix(pos + 1);
    }
}

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescape_octal(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && is_octal(s[i + 1]) && is_octal(s[i + 2]) &&
            is_octal(s[i + 3])) {
            out.push_back(
                static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

struct Mount {
    std::string root;  // the part of the hierarchy mounted there
    std::string mount_point;
};

struct Mounts {
    std::optional<Mount> v2;
    std::optional<Mount> v1_cpu;
};

Mounts find_cgroup_mounts(std::string_view mountinfo) {
    Mounts m;
    for (std::string_view line : split(mountinfo, '\n')) {
        const auto fields = split(line, ' ');
        // id parent major:minor root mount-point options [optional...] - fstype source super
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view fstype = dash[1];
        Mount mount{unescape_octal(fields[3]), unescape_octal(fields[4])};
        if (fstype == "cgroup2") {
            if (!m.v2) m.v2 = std::move(mount);
        } else if (fstype == "cgroup") {
            const auto opts = split(dash[3], ',');
            if (!m.v1_cpu && std::find(opts.begin(), opts.end(), "cpu") != opts.end()) {
                m.v1_cpu = std::move(mount);
            }
        }
    }
    return m;
}

// Directory of `cgroup` (a path in the hierarchy) under `mount`, or nullopt if the mount does
// not show it.
std::optional<std::string> cgroup_dir(const Mount& mount, std::string_view cgroup) {
    std::string_view rel = cgroup;
    if (mount.root != "/") {
        if (cgroup.substr(0, mount.root.size()) != mount.root) return std::nullopt;
        rel.remove_prefix(mount.root.size());
        if (!rel.empty() && rel.front() != '/') return std::nullopt;
    }
    while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
    return mount.mount_point + std::string(rel);
}

template <class ReadLimit>
std::optional<std::size_t> tightest_up_to(const std::string& root, const Mount& mount,
                                          std::string dir, ReadLimit read_limit) {
    std::optional<std::size_t> best;
    std::string top = mount.mount_point;
    while (!top.empty() && top.back() == '/') top.pop_back();
    for (;;) {
        if (auto n = read_limit(root + dir)) best = best ? std::min(*best, *n) : *n;
        if (dir.size() <= top.size()) break;
        const auto slash = dir.find_last_of('/');
        if (slash == std::string::npos || slash < top.size()) break;
        dir.resize(slash);
    }
    return best;
}

}  // namespace

std::optional<std::size_t> parse_cpu_max(std::string_view text) {
    const auto fields = split(trim(text), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    const auto quota = parse_int(fields[0]);
    const auto period = parse_int(fields[1]);
    if (!quota || !period) return std::nullopt;
    return cpus_for_quota(*quota, *period);
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
    const auto q = parse_int(trim(quota));
    const auto p = parse_int(trim(period));
    if (!q || !p) return std::nullopt;
    return cpus_for_quota(*q, *p);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                            std::string_view mountinfo, const std::string& root) {
    const Mounts mounts = find_cgroup_mounts(mountinfo);
    std::optional<std::size_t> best;
    auto take = [&](std::optional<std::size_t> n) {
        if (n) best = best ? std::min(*best, *n) : *n;
    };
    for (std::string_view line : split(proc_cgroup, '\n')) {
        // hierarchy-id:controllers:path, where the path may itself contain ':'
        const auto c1 = line.find(':');
        if (c1 == std::string_view::npos) continue;
        const auto c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, c1);
        const std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
        const std::string_view path = line.substr(c2 + 1);
        if (id == "0" && controllers.empty()) {
            if (!mounts.v2) continue;
            if (auto dir = cgroup_dir(*mounts.v2, path)) {
                take(tightest_up_to(root, *mounts.v2, *dir, [](const std::string& d) {
                    auto text = read_file(d + "/cpu.max");
                    return text ? parse_cpu_max(*text) : std::nullopt;
                }));
            }
        } else {
            const auto list = split(controllers, ',');
            if (!mounts.v1_cpu || std::find(list.begin(), list.end(), "cpu") == list.end()) {
                continue;
            }
            if (auto dir = cgroup_dir(*mounts.v1_cpu, path)) {
                take(tightest_up_to(root, *mounts.v1_cpu, *dir, [](const std::string& d) {
                    auto quota = read_file(d + "/cpu.cfs_quota_us");
                    auto period = read_file(d + "/cpu.cfs_period_us");
                    return quota && period ? parse_cfs_quota(*quota, *period) : std::nullopt;
                }));
            }
        }
    }
    return best;
}

}  // namespace detail

namespace {

std::size_t affinity_cpu_count() {
    // The kernel's mask may be larger than cpu_set_t; grow the set until it fits.
    for (int ncpus = 1024; ncpus <= (1 << 22); ncpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(static_cast<std::size_t>(ncpus));
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(static_cast<std::size_t>(ncpus));
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        const int err = errno;
        CPU_FREE(set);
        if (rc == 0) return static_cast<std::size_t>(std::max(count, 1));
        if (err != EINVAL) break;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace

std::size_t default_pool_size() {
    std::size_t n = affinity_cpu_count();
    const auto cgroup = detail::read_file("/proc/self/cgroup");
    const auto mountinfo = detail::read_file("/proc/self/mountinfo");
    if (cgroup && mountinfo) {
        if (auto limit = detail::cgroup_cpu_limit(*cgroup, *mountinfo)) n = std::min(n, *limit);
    }
    return std::max<std::size_t>(n, 1);
}

std::size_t configured_pool_size() {
    const char* num_threads = std::getenv("RAYON_NUM_THREADS");
    const char* rs_num_cpus = std::getenv("RAYON_RS_NUM_CPUS");
    // Only compute the default (which reads /proc and /sys) when it is needed.
    if (auto n = parse_thread_count(num_threads); n && *n > 0) return *n;
    return pool_size_from_env(num_threads, rs_num_cpus, default_pool_size());
}

}  // namespace vandra::pool
