#include "site/config/site_config.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "site/config/site_keys.h"
#include "site/config/usage_error.h"
#include "site/store/storage_paths.h"

namespace site {
namespace {

// Far beyond any site or simulator file: a larger one is a wrong file (a log, /dev/zero).
constexpr off_t kMaxJsonFileSize = 4 << 20;
// Site files nest about seven levels deep.
constexpr int kMaxJsonDepth = 64;

// Every unit keeps its history under its data id: two units with one id would mix them.
void check_unique_ids(const Json::Value& root, const std::string& source) {
    std::set<unsigned> seen;
    auto claim = [&](const Json::Value& id, const std::string& at) {
        if (!seen.insert(id.asUInt()).second)
            throw UsageError(source + ": " + at + ": data id " + std::to_string(id.asUInt()) +
                             " is used twice in the site");
    };
    const bool listed = root.isMember("systems");
    Json::Value systems = listed ? root["systems"] : Json::Value(Json::arrayValue);
    if (!listed) systems.append(root);
    for (Json::ArrayIndex s = 0; s < systems.size(); ++s) {
        const std::string at = listed ? "systems[" + std::to_string(s) + "]." : "";
        claim(systems[s]["data_id"], at + "data_id");
        for (const char* key : {"acSetting", "dcSetting"}) {
            const Json::Value& units = systems[s][key];
            for (Json::ArrayIndex i = 0; i < units.size(); ++i)
                claim(units[i]["data_id"], at + key + "[" + std::to_string(i) + "].data_id");
        }
    }
}

std::string system_title(const SystemConfig& system, std::size_t index) {
    return "systems[" + std::to_string(index) + "] (data id " + std::to_string(system.dataId) + ")";
}

// Power systems naming one port (by any spelling) share its line: they must agree on its
// settings, and each needs an address of its own, else one device is polled and saved twice.
void check_shared_ports(const std::vector<SystemConfig>& systems, const std::string& source) {
    for (std::size_t b = 1; b < systems.size(); ++b) {
        for (std::size_t a = 0; a < b; ++a) {
            const SystemConfig& first = systems[a];
            const SystemConfig& second = systems[b];
            if (!same_port(first.port, second.port)) continue;
            const std::string both = source + ": " + system_title(first, a) + " and " + system_title(second, b) +
                                     " are on one port (" + first.port +
                                     (first.port == second.port ? "" : " and " + second.port) + ")";
            const int address = first.settings.get("address", 1).asInt();
            if (address == second.settings.get("address", 1).asInt())
                throw UsageError(both + " at one address, " + std::to_string(address) +
                                 ": one device under two data ids");
            const std::string settings = std::to_string(first.baud) + " " + line::format_text(first.format);
            const std::string others = std::to_string(second.baud) + " " + line::format_text(second.format);
            if (settings != others)
                throw UsageError(both + " at other line settings (" + settings + ", " + others + ")");
        }
    }
}

// jsoncpp's "* Line 3, Column 5\n  Duplicate key: 'baud'\n" as "line 3, column 5: duplicate key: 'baud'".
std::string parser_errors(const std::string& errors) {
    std::string text;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (errors.compare(i, 2, "* ") == 0) {
            text += text.empty() ? "" : "; ";
            ++i;
        } else if (errors.compare(i, 3, "\n  ") == 0) {
            text += ": ";
            i += 2;
        } else if (errors[i] != '\n') {
            text += errors[i];
        }
    }
    return text;
}

// The whole of a regular file of at most kMaxJsonFileSize bytes. A FIFO or device is refused
// before it is opened, so that it can neither block nor feed the reader without end.
std::string read_small_file(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw UsageError(path + ": cannot be read: " + std::strerror(errno));
    if (!S_ISREG(info.st_mode)) throw UsageError(path + ": not a regular file");
    if (info.st_size > kMaxJsonFileSize)
        throw UsageError(path + ": " + std::to_string(info.st_size) + " bytes, more than a site file may hold (" +
                         std::to_string(kMaxJsonFileSize) + ")");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError(path + ": cannot be read: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool in_number(char c) { return std::isdigit(static_cast<unsigned char>(c)) || std::strchr(".eE+-", c) != nullptr; }

// What the JSON reader lets through even when strict: comments after a value, and numbers
// written with a leading zero (01 is not JSON, and might be read as octal elsewhere).
std::string lexical_refusal(const std::string& text) {
    std::size_t line = 1;
    std::size_t column = 0;
    bool inText = false;
    bool escaped = false;
    char previous = ' ';
    const auto at = [&] { return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": "; };
    for (std::size_t i = 0; i < text.size(); previous = text[i++]) {
        const char c = text[i];
        ++column;
        if (c == '\n') {
            ++line;
            column = 0;
        } else if (inText) {
            inText = escaped || c != '"';
            escaped = !escaped && c == '\\';
        } else if (c == '"') {
            inText = true;
        } else if (c == '/') {
            return at() + "comments are not allowed";
        } else if (!in_number(previous) && (c == '-' || c == '0')) {
            const std::size_t zero = c == '-' ? i + 1 : i;
            if (zero + 1 < text.size() && text[zero] == '0' && std::isdigit(static_cast<unsigned char>(text[zero + 1])))
                return at() + "a number must not start with 0";
        }
    }
    return {};
}

}  // namespace

std::string folder_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string resolve_path(const std::string& folder, const std::string& name) {
    if (folder.empty() || name.empty() || name.front() == '/') return name;
    return folder + (folder.back() == '/' ? "" : "/") + name;
}

Json::Value read_json_file(const std::string& path) {
    const std::string text = read_small_file(path);
    const std::string lexical = lexical_refusal(text);
    if (!lexical.empty()) throw UsageError(path + ": " + lexical);
    Json::CharReaderBuilder builder;
    // No comments, no trailing garbage, no key given twice.
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = kMaxJsonDepth;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors))
            throw UsageError(path + ": " + parser_errors(errors));
    } catch (const Json::Exception&) {
        throw UsageError(path + ": nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    return root;
}

bool same_port(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;  // built-in simulators, one each
    if (line::is_tcp_port(a) || line::is_tcp_port(b)) return a == b;
    return a == b || same_file(a, b);
}

SiteConfig parse_site(const Json::Value& root, const std::string& folder, const std::string& source) {
    check_site_keys(root, source);
    check_unique_ids(root, source);
    SiteConfig site;
    read_site_keys(root, folder, source, site);
    check_shared_ports(site.systems, source);
    return site;
}

SiteConfig load_site_file(const std::string& path) { return parse_site(read_json_file(path), folder_of(path), path); }

}  // namespace site
