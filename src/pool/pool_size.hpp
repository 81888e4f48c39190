// Size of the process-wide pool: from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPUs
// this process may use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vandra::pool {

// An unsigned decimal integer: digits with at most one leading '+', nothing else, within
// size_t. nullopt for anything else, including nullptr.
std::optional<std::size_t> parse_thread_count(const char* text) noexcept;

// The pool size for the given environment values (either may be nullptr for unset):
// RAYON_NUM_THREADS > 0 is taken as is; RAYON_NUM_THREADS = 0 asks for the default;
// otherwise RAYON_RS_NUM_CPUS > 0 is taken, and anything else gives the default.
std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t default_size) noexcept;

// CPUs this process may run on (its affinity mask), limited by a cgroup CPU quota; at least 1.
std::size_t default_pool_size();

// pool_size_from_env() applied to the real environment.
std::size_t configured_pool_size();

namespace detail {

// CPUs allowed by a cgroup v2 cpu.max value ("max 100000" or "<quota> <period>"):
// ceil(quota / period), at least 1; nullopt for no limit or an unreadable value.
std::optional<std::size_t> parse_cpu_max(std::string_view text);

// The same for cgroup v1 cpu.cfs_quota_us / cpu.cfs_period_us (quota -1: no limit).
std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// The tightest CPU quota on the process's cgroup and its ancestors, given the contents of
// /proc/self/cgroup and /proc/self/mountinfo. File paths are prefixed with `root` (empty for
// the real filesystem), which lets tests point it at a fake tree.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                            std::string_view mountinfo,
                                            const std::string& root = "");

}  // namespace detail
}  // namespace vandra::pool
