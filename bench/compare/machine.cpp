// Facts about the machine a comparison ran on, read from the system's own
// description of itself where it has one (/proc on Linux); unknown elsewhere.
#include "pchol/compare.hpp"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

namespace pchol::compare {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// The flags that name vector instruction sets: the x86 SIMD families and
// Arm's Advanced SIMD and scalable vectors.
bool is_vector_extension(std::string_view flag) {
    constexpr std::string_view exact[] = {"mmx", "sse", "sse2", "ssse3", "sse4_1", "sse4_2", "sse4a", "avx",
                                          "avx2", "fma", "fma4", "f16c", "asimd", "asimdhp", "asimddp", "neon"};
    constexpr std::string_view prefixes[] = {"avx512", "avx_", "amx", "sve"};
    if (std::find(std::begin(exact), std::end(exact), flag) != std::end(exact)) return true;
    return std::any_of(std::begin(prefixes), std::end(prefixes),
                       [flag](std::string_view p) { return flag.substr(0, p.size()) == p; });
}

std::string read_file(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

cpu_facts parse_cpuinfo(std::string_view text) {
    cpu_facts cpu;
    std::set<std::string> sockets;
    std::set<std::pair<std::string, std::string>> cores;
    std::string socket;
    bool flags_seen = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, colon));
        const std::string_view value = trim(line.substr(colon + 1));
        if (key == "processor") {
            ++cpu.logical;
            socket.clear();
        } else if (key == "model name" && cpu.model.empty()) {
            cpu.model = std::string(value);
        } else if (key == "cpu family" && cpu.family.empty()) {
            cpu.family = std::string(value);
        } else if (key == "model" && cpu.model_number.empty()) {
            cpu.model_number = std::string(value);
        } else if (key == "stepping" && cpu.stepping.empty()) {
            cpu.stepping = std::string(value);
        } else if (key == "physical id") {
            socket = std::string(value);
            sockets.insert(socket);
        } else if (key == "core id") {
            cores.emplace(socket, std::string(value));
        } else if ((key == "flags" || key == "Features") && !flags_seen) {
            flags_seen = true;
            std::istringstream words{std::string(value)};
            for (std::string flag; words >> flag;)
                if (is_vector_extension(flag)) cpu.vector_extensions.push_back(flag);
        }
    }
    cpu.sockets = static_cast<std::int32_t>(sockets.size());
    cpu.cores = static_cast<std::int32_t>(cores.size());
    if (cpu.cores > 0 && cpu.logical % cpu.cores == 0) cpu.threads_per_core = cpu.logical / cpu.cores;
    return cpu;
}

std::int64_t parse_meminfo_total(std::string_view text) {
    const std::size_t at = text.find("MemTotal:");
    if (at == std::string_view::npos) return 0;
    std::istringstream line{std::string(text.substr(at + 9, text.find('\n', at) - at - 9))};
    std::int64_t amount = 0;
    std::string unit;
    if (!(line >> amount)) return 0;
    line >> unit;
    return unit == "kB" ? amount * 1024 : amount;
}

machine_facts read_machine_facts() {
    machine_facts m;
    m.cpu = parse_cpuinfo(read_file("/proc/cpuinfo"));
    m.memory_bytes = parse_meminfo_total(read_file("/proc/meminfo"));
    return m;
}

std::string utc_timestamp() {
    const std::time_t now = std::time(nullptr);
    char text[32] = {};
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

}  // namespace pchol::compare
