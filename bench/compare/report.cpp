// The statistics of a comparison's samples and its three report formats.
#include "pchol/compare.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <utility>

namespace pchol::compare {
namespace {

// printf into a std::string.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void append(std::string& out, const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    const int length = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) < sizeof buffer) {
        out.append(buffer, static_cast<std::size_t>(length));
        return;
    }
    std::string big(static_cast<std::size_t>(length) + 1, '\0');
    va_start(args, fmt);
    std::vsnprintf(big.data(), big.size(), fmt, args);
    va_end(args);
    out.append(big, 0, static_cast<std::size_t>(length));
}

// The value at fraction p of the sorted samples, between neighbours linearly.
double quantile(const std::vector<double>& sorted, double p) {
    const double h = p * static_cast<double>(sorted.size() - 1);
    const std::size_t low = static_cast<std::size_t>(h);
    if (low + 1 >= sorted.size()) return sorted.back();
    return sorted[low] + (h - static_cast<double>(low)) * (sorted[low + 1] - sorted[low]);
}

std::string join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += separator;
        out += item;
    }
    return out;
}

std::string or_unknown(const std::string& s) {
    return s.empty() ? "unknown" : s;
}

std::string plural(std::int64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string cpu_line(const cpu_facts& cpu) {
    std::string line = or_unknown(cpu.model);
    if (!cpu.family.empty()) {
        line += " (family " + cpu.family;
        if (!cpu.model_number.empty()) line += ", model " + cpu.model_number;
        if (!cpu.stepping.empty()) line += ", stepping " + cpu.stepping;
        line += ")";
    }
    if (cpu.cores > 0) line += ", " + plural(cpu.cores, "core", "cores");
    if (cpu.threads_per_core > 0) line += ", " + plural(cpu.threads_per_core, "thread", "threads") + " per core";
    if (cpu.sockets > 0) line += ", " + plural(cpu.sockets, "socket", "sockets");
    return line;
}

std::string lapack_line(const lapack_facts& l) {
    std::string line = or_unknown(l.library);
    if (!l.version.empty()) line += ", version " + l.version;
    return line;
}

std::string project_line(const build_facts& b) {
    return "version " + b.version + (b.commit.empty() ? "" : ", commit " + b.commit);
}

// A number for CSV and JSON: shortest round trip is not needed, nine
// significant digits keep a nanosecond of a second-long sample.
std::string number(double v) {
    if (!std::isfinite(v)) return {};
    std::string out;
    append(out, "%.9g", v);
    return out;
}

std::string json_number(double v) {
    const std::string s = number(v);
    return s.empty() ? "null" : s;
}

std::string json_number(const std::optional<double>& v) {
    return v ? json_number(*v) : "null";
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (u < 0x20) {
            append(out, "\\u%04x", u);
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = "\"";
    for (const char ch : s) {
        if (ch == '"') out += '"';
        out += ch;
    }
    return out + "\"";
}

template <class T, class F>
std::string joined(const std::vector<T>& values, const char* separator, F&& each) {
    std::vector<std::string> items;
    items.reserve(values.size());
    for (const T& v : values) items.push_back(each(v));
    return join(items, separator);
}

std::string int_text(std::int32_t v) {
    return std::to_string(v);
}

}  // namespace

spread summarize(std::vector<double> samples) {
    spread s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    const std::size_t m = samples.size() / 2;
    s.median = samples.size() % 2 != 0 ? samples[m] : 0.5 * (samples[m - 1] + samples[m]);
    s.min = samples.front();
    s.max = samples.back();
    s.iqr = quantile(samples, 0.75) - quantile(samples, 0.25);
    return s;
}

// The LAPACK row a contender's ratio is taken to: the solves with a stored
// factor against ?pbtrs alone, every other against ?pbtrf + ?pbtrs.
method baseline_of(method m) {
    return m == method::pbtrs || m == method::factored ? method::pbtrs : method::lapack;
}

void finish_rows(std::vector<row>& rows) {
    std::map<std::pair<method, element>, double> lapack;
    std::map<std::pair<method, element>, const row*> fewest;
    for (row& r : rows) {
        r.stats = summarize(r.seconds);
        if (r.kind == baseline_of(r.kind)) lapack.emplace(std::pair{r.kind, r.type}, r.stats.median);
        const row*& f = fewest[{r.kind, r.type}];
        if (f == nullptr || r.threads < f->threads) f = &r;
    }
    for (row& r : rows) {
        const auto base = lapack.find({baseline_of(r.kind), r.type});
        r.ratio.reset();
        if (base != lapack.end() && base->second > 0) r.ratio = r.stats.median / base->second;
        r.speedup.reset();
        if (r.kind != baseline_of(r.kind) && r.stats.median > 0) r.speedup = fewest[{r.kind, r.type}]->stats.median / r.stats.median;
    }
}

std::int32_t failed_rounds(const row& r) {
    return static_cast<std::int32_t>(std::count_if(r.info.begin(), r.info.end(), [](std::int32_t i) { return i != 0; }));
}

std::int32_t first_failed_info(const row& r) {
    const auto it = std::find_if(r.info.begin(), r.info.end(), [](std::int32_t i) { return i != 0; });
    return it == r.info.end() ? 0 : *it;
}

std::string format_text(const report& r) {
    const options& o = r.opts;
    std::string out;
    append(out, "System: n = %d, half bandwidth %d, %d right-hand %s; %d rounds, contenders alternating\n", o.n, o.hbw,
           o.nrhs, o.nrhs == 1 ? "side" : "sides", o.rounds);
    append(out, "Compiler: %s, flags: %s\n", r.build.compiler.c_str(), r.build.flags.c_str());
    append(out, "LAPACK: %s\n", r.lapack.link.c_str());
    append(out, "Processors available: %d\n", r.processors);
    append(out, "CPU: %s\n", cpu_line(r.machine.cpu).c_str());
    append(out, "Vector extensions: %s\n", or_unknown(join(r.machine.cpu.vector_extensions, " ")).c_str());
    if (r.machine.memory_bytes > 0)
        append(out, "Memory: %.1f GiB\n", static_cast<double>(r.machine.memory_bytes) / (1024.0 * 1024.0 * 1024.0));
    else
        append(out, "Memory: unknown\n");
    append(out, "LAPACK library: %s\n", lapack_line(r.lapack).c_str());
    append(out, "pchol: %s\n", project_line(r.build).c_str());
    append(out, "Date: %s\n\n", r.date.c_str());

    int width = 34;
    for (const row& c : r.rows) width = std::max(width, static_cast<int>(c.name.size()));
    append(out, "%-*s %10s %10s %12s %10s %5s", width, "contender", "median s", "min s", "max |x-x*|", "/ LAPACK",
           "info");
    if (o.wide) append(out, " %10s %10s %8s", "max s", "IQR s", "speedup");
    out += '\n';
    for (const row& c : r.rows) {
        append(out, "%-*s %10.4f %10.4f %12.3e ", width, c.name.c_str(), c.stats.median, c.stats.min, c.max_error);
        if (c.ratio)
            append(out, "%10.3f", *c.ratio);
        else
            append(out, "%10s", "-");
        append(out, " %5d", first_failed_info(c));
        if (o.wide) {
            append(out, " %10.4f %10.4f ", c.stats.max, c.stats.iqr);
            if (c.speedup)
                append(out, "%8.3f", *c.speedup);
            else
                append(out, "%8s", "-");
        }
        out += '\n';
    }
    for (const row& c : r.rows)
        if (const std::int32_t failed = failed_rounds(c); failed > 0)
            append(out, "! info was not 0 in %d of %d rounds: %s (first %d)\n", failed,
                   static_cast<int>(c.info.size()), c.name.c_str(), first_failed_info(c));
    return out;
}

std::string format_csv(const report& r) {
    std::string out =
        "type,contender,method,entry,threads,rounds,median_s,min_s,max_s,iqr_s,max_error,ratio_to_lapack,speedup,"
        "failed_rounds,info,samples_s\n";
    for (const row& c : r.rows) {
        const std::string fields[] = {
            std::string(1, element_code(c.type)),
            csv_field(c.name),
            method_name(c.kind),
            csv_field(c.entry),
            std::to_string(c.threads),
            std::to_string(c.seconds.size()),
            number(c.stats.median),
            number(c.stats.min),
            number(c.stats.max),
            number(c.stats.iqr),
            number(c.max_error),
            c.ratio ? number(*c.ratio) : std::string(),
            c.speedup ? number(*c.speedup) : std::string(),
            std::to_string(failed_rounds(c)),
            joined(c.info, " ", int_text),
            joined(c.seconds, " ", [](double v) { return number(v); }),
        };
        out += join(std::vector<std::string>(std::begin(fields), std::end(fields)), ",") + "\n";
    }
    return out;
}

std::string format_json(const report& r) {
    const options& o = r.opts;
    const cpu_facts& cpu = r.machine.cpu;
    // A JSON string, or null for a text nothing was found for.
    auto text_or_null = [](const std::string& t) { return t.empty() ? std::string("null") : json_string(t); };
    std::string out = "{\n";
    out += "  \"program\": \"compare_lapack\",\n";
    out += "  \"date\": " + json_string(r.date) + ",\n";
    out += "  \"pchol\": {\"version\": " + json_string(r.build.version) +
           ", \"commit\": " + text_or_null(r.build.commit) + "},\n";
    out += "  \"build\": {\"compiler\": " + json_string(r.build.compiler) + ", \"flags\": " +
           json_string(r.build.flags) + "},\n";
    out += "  \"lapack\": {\"link\": " + json_string(r.lapack.link) + ", \"library\": " +
           json_string(r.lapack.library) +
           ", \"version\": " + text_or_null(r.lapack.version) + "},\n";
    out += "  \"machine\": {\"cpu_model\": " + json_string(cpu.model) +
           ", \"cpu_family\": " + text_or_null(cpu.family) + ", \"cpu_model_number\": " +
           text_or_null(cpu.model_number) + ", \"cpu_stepping\": " + text_or_null(cpu.stepping) +
           ",\n              \"logical_processors\": " +
           std::to_string(cpu.logical) + ", \"sockets\": " + std::to_string(cpu.sockets) +
           ", \"cores\": " + std::to_string(cpu.cores) + ", \"threads_per_core\": " +
           std::to_string(cpu.threads_per_core) + ",\n              \"vector_extensions\": [" +
           joined(cpu.vector_extensions, ", ", json_string) +
           "], \"memory_bytes\": " + std::to_string(r.machine.memory_bytes) +
           ", \"processors_available\": " + std::to_string(r.processors) + "},\n";
    out += "  \"system\": {\"n\": " + std::to_string(o.n) + ", \"hbw\": " + std::to_string(o.hbw) +
           ", \"nrhs\": " + std::to_string(o.nrhs) + ", \"rounds\": " + std::to_string(o.rounds) +
           ", \"warmup\": " + std::to_string(o.warmup) + ",\n             \"threads\": [" +
           joined(o.threads, ", ", int_text) + "], \"types\": [" +
           joined(o.types, ", ", [](element e) { return json_string(std::string(1, element_code(e))); }) +
           "], \"contenders\": [" + joined(o.methods, ", ", [](method m) { return json_string(method_name(m)); }) +
           "]},\n";
    out += "  \"results\": [";
    for (std::size_t k = 0; k < r.rows.size(); ++k) {
        const row& c = r.rows[k];
        out += k == 0 ? "\n" : ",\n";
        out += "    {\"contender\": " + json_string(c.name) + ", \"method\": " + json_string(method_name(c.kind)) +
               ", \"entry\": " + json_string(c.entry) + ", \"type\": " + json_string(std::string(1, element_code(c.type))) +
               ", \"type_name\": " + json_string(element_label(c.type)) + ", \"threads\": " + std::to_string(c.threads) +
               ",\n     \"median_s\": " + json_number(c.stats.median) + ", \"min_s\": " + json_number(c.stats.min) +
               ", \"max_s\": " + json_number(c.stats.max) + ", \"iqr_s\": " + json_number(c.stats.iqr) +
               ", \"max_error\": " + json_number(c.max_error) + ", \"ratio_to_lapack\": " + json_number(c.ratio) +
               ", \"speedup\": " + json_number(c.speedup) + ",\n     \"failed_rounds\": " +
               std::to_string(failed_rounds(c)) + ", \"info\": [" + joined(c.info, ", ", int_text) +
               "],\n     \"samples_s\": [" +
               joined(c.seconds, ", ", [](double v) { return json_number(v); }) + "]}";
    }
    out += r.rows.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

}  // namespace pchol::compare
