// The registry hive, its file, and the kernel's Rtl registry calls.
//
// The file format is described in host/services.h. Every change is written
// at once to a temporary file next to the registry file, which is then
// renamed over it, so a reader (or a crash) never sees half a hive.
#include "registry_hive.h"

#include "rtl_text.h"
#include "services_internal.h"

#include <host/services.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <optional>
#include <sstream>

#include <unistd.h>

namespace fs = std::filesystem;

namespace m4350::registry {
namespace {

struct HiveState {
    std::mutex mutex;
    KeyPtr root;
    fs::path file;
    bool loaded = false;
    std::atomic<size_t> plainCalls{0};
    std::atomic<size_t> exCalls{0};
    std::atomic<uint64_t> saveCounter{0};
};

HiveState& State() {
    static HiveState state;
    return state;
}

uint64_t Now() {
    // FILETIME counts 100 ns units from 1601-01-01; the Unix epoch is
    // 11644473600 s later.
    const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    return static_cast<uint64_t>(since1970 / 100) + 116444736000000000ull;
}

// The keys every system has; they are recreated when a file lacks them.
const wchar_t* const SkeletonKeys[] = {
    L"Machine\\Hardware\\DeviceMap",
    L"Machine\\Software\\Classes",
    L"Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    L"Machine\\System\\CurrentControlSet\\Control",
    L"Machine\\System\\CurrentControlSet\\Services",
    L"User\\.Default",
};

KeyPtr NewRoot() {
    auto root = std::make_shared<Key>();
    root->name = L"Registry";
    root->lastWrite = Now();
    return root;
}

void AddSkeleton(const KeyPtr& root) {
    for (const auto* path : SkeletonKeys) {
        std::vector<std::wstring> parts;
        SplitPath(path, parts);
        bool created = false;
        CreateKey(root, parts, &created);
    }
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& [name, sub] : key.subkeys) {
        MarkDeleted(*sub);
    }
}

// ---------------------------------------------------------------------------
// The text form
// ---------------------------------------------------------------------------

void AppendQuoted(std::string& out, std::wstring_view s) {
    out += '"';
    for (wchar_t wc : s) {
        const auto c = static_cast<uint32_t>(wc);
        switch (c) {
        case '\\':
            out += "\\\\";
            continue;
        case '"':
            out += "\\\"";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            char buffer[16];
            snprintf(buffer, sizeof(buffer), "\\u{%x}", c);
            out += buffer;
        } else {
            rtl::AppendUtf8(out, static_cast<char32_t>(c));
        }
    }
    out += '"';
}

void AppendHex(std::string& out, const std::vector<uint8_t>& data) {
    char buffer[4];
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(buffer, sizeof(buffer), i ? ",%02x" : "%02x", data[i]);
        out += buffer;
    }
}

std::wstring WideFromBytes(const std::vector<uint8_t>& data) {
    std::wstring s(data.size() / sizeof(wchar_t), L'\0');
    if (!s.empty()) {
        memcpy(s.data(), data.data(), s.size() * sizeof(wchar_t));
    }
    return s;
}

void AppendValue(std::string& out, const Value& value) {
    if (value.name.empty()) {
        out += '@';
    } else {
        AppendQuoted(out, value.name);
    }
    out += '=';
    const auto& data = value.data;
    char buffer[40];
    if (value.type == REG_DWORD && data.size() == 4) {
        uint32_t v;
        memcpy(&v, data.data(), 4);
        snprintf(buffer, sizeof(buffer), "dword:%08x", v);
        out += buffer;
    } else if (value.type == REG_QWORD && data.size() == 8) {
        uint64_t v;
        memcpy(&v, data.data(), 8);
        snprintf(buffer, sizeof(buffer), "qword:%016llx", static_cast<unsigned long long>(v));
        out += buffer;
    } else if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        out += value.type == REG_SZ ? "sz:" : "expand_sz:";
        std::wstring s = WideFromBytes(data);
        if (!s.empty()) {
            s.pop_back(); // the terminator the hive always stores
        }
        AppendQuoted(out, s);
    } else if (value.type == REG_MULTI_SZ) {
        out += "multi_sz:";
        const std::wstring s = WideFromBytes(data);
        size_t start = 0;
        bool first = true;
        while (start < s.size() && s[start] != L'\0') {
            const size_t end = s.find(L'\0', start);
            if (!first) {
                out += ',';
            }
            AppendQuoted(out, std::wstring_view(s).substr(start, end - start));
            first = false;
            start = end + 1;
        }
    } else if (value.type == REG_BINARY) {
        out += "binary:";
        AppendHex(out, data);
    } else {
        snprintf(buffer, sizeof(buffer), "hex(%x):", value.type);
        out += buffer;
        AppendHex(out, data);
    }
    out += '\n';
}

void AppendKey(std::string& out, const Key& key, const std::wstring& path) {
    out += '[';
    out += rtl::ToUtf8(path);
    out += "]\n";
    for (const auto& [upcased, value] : key.values) {
        AppendValue(out, value);
    }
    out += '\n';
    for (const auto& [upcased, sub] : key.subkeys) {
        if (!sub->isVolatile) {
            AppendKey(out, *sub, path + L"\\" + sub->name);
        }
    }
}

std::string Serialize(const Key& root) {
    std::string out =
        "# m4350 registry hive. One [key] section per key; values as \"name\"=type:data.\n"
        "# Rewritten after every change: edit it only while nothing runs on this root.\n\n";
    if (!root.values.empty()) {
        out += "[\\Registry]\n";
        for (const auto& [upcased, value] : root.values) {
            AppendValue(out, value);
        }
        out += '\n';
    }
    for (const auto& [upcased, sub] : root.subkeys) {
        if (!sub->isVolatile) {
            AppendKey(out, *sub, L"\\Registry\\" + sub->name);
        }
    }
    return out;
}

bool WriteAtomically(const fs::path& file, const std::string& text, std::string& error) {
    const auto n = State().saveCounter.fetch_add(1);
    fs::path temp = file;
    temp += ".tmp" + std::to_string(getpid()) + "-" + std::to_string(n);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot create " + temp.string();
            return false;
        }
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            error = "cannot write " + temp.string();
            std::error_code ignored;
            fs::remove(temp, ignored);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, file, ec);
    if (ec) {
        error = "cannot replace " + file.string() + ": " + ec.message();
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

class LineParser {
public:
    explicit LineParser(std::string_view line) : s_(line) {}

    void SkipBlanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) {
            ++i_;
        }
    }
    bool AtEnd() {
        SkipBlanks();
        return i_ >= s_.size();
    }
    bool Take(char c) {
        SkipBlanks();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool Peek(char c) {
        SkipBlanks();
        return i_ < s_.size() && s_[i_] == c;
    }

    bool Quoted(std::wstring& out) {
        if (!Take('"')) {
            return false;
        }
        std::string raw;
        while (i_ < s_.size()) {
            const char c = s_[i_++];
            if (c == '"') {
                out += rtl::FromUtf8(raw);
                return true;
            }
            if (c != '\\') {
                raw += c;
                continue;
            }
            if (i_ >= s_.size()) {
                return false;
            }
            const char e = s_[i_++];
            char32_t decoded;
            switch (e) {
            case '\\':
                decoded = '\\';
                break;
            case '"':
                decoded = '"';
                break;
            case 'n':
                decoded = '\n';
                break;
            case 'r':
                decoded = '\r';
                break;
            case 't':
                decoded = '\t';
                break;
            case 'u': {
                if (i_ >= s_.size() || s_[i_] != '{') {
                    return false;
                }
                const size_t close = s_.find('}', i_);
                if (close == std::string_view::npos || close == i_ + 1 || close - i_ > 9) {
                    return false;
                }
                uint32_t v = 0;
                for (size_t k = i_ + 1; k < close; ++k) {
                    const int d = HexDigit(s_[k]);
                    if (d < 0) {
                        return false;
                    }
                    v = v * 16 + static_cast<uint32_t>(d);
                }
                i_ = close + 1;
                decoded = v;
                break;
            }
            default:
                return false;
            }
            out += rtl::FromUtf8(raw);
            raw.clear();
            out += static_cast<wchar_t>(decoded);
        }
        return false;
    }

    std::string_view Word() {
        SkipBlanks();
        const size_t start = i_;
        while (i_ < s_.size() && (isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_' ||
                                  s_[i_] == '(' || s_[i_] == ')')) {
            ++i_;
        }
        return s_.substr(start, i_ - start);
    }

    bool Number(uint64_t& value, size_t maxDigits) {
        SkipBlanks();
        size_t digits = 0;
        value = 0;
        while (i_ < s_.size() && HexDigit(s_[i_]) >= 0) {
            if (++digits > maxDigits) {
                return false;
            }
            value = value * 16 + static_cast<uint64_t>(HexDigit(s_[i_]));
            ++i_;
        }
        return digits > 0;
    }

    bool HexBytes(std::vector<uint8_t>& out) {
        if (AtEnd()) {
            return true;
        }
        do {
            uint64_t byte;
            if (!Number(byte, 2)) {
                return false;
            }
            out.push_back(static_cast<uint8_t>(byte));
        } while (Take(','));
        return AtEnd();
    }

    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

private:
    std::string_view s_;
    size_t i_ = 0;
};

std::vector<uint8_t> WideBytes(std::wstring_view s) {
    std::vector<uint8_t> out(s.size() * sizeof(wchar_t));
    if (!out.empty()) {
        memcpy(out.data(), s.data(), out.size());
    }
    return out;
}

// One "name"=type:data line into the key; false when it is malformed.
bool ParseValue(std::string_view line, Key& key) {
    LineParser p(line);
    std::wstring name;
    if (!p.Take('@') && !p.Quoted(name)) {
        return false;
    }
    if (!p.Take('=')) {
        return false;
    }
    const std::string type(p.Word());
    if (!p.Take(':')) {
        return false;
    }
    if (type == "dword" || type == "qword") {
        uint64_t v;
        const bool dword = type == "dword";
        if (!p.Number(v, dword ? 8 : 16) || !p.AtEnd()) {
            return false;
        }
        if (dword) {
            const auto d = static_cast<uint32_t>(v);
            SetValue(key, name, REG_DWORD, &d, sizeof(d));
        } else {
            SetValue(key, name, REG_QWORD, &v, sizeof(v));
        }
        return true;
    }
    if (type == "sz" || type == "expand_sz") {
        std::wstring s;
        if (!p.Quoted(s) || !p.AtEnd()) {
            return false;
        }
        const auto bytes = WideBytes(s);
        SetValue(key, name, type == "sz" ? REG_SZ : REG_EXPAND_SZ, bytes.data(), bytes.size());
        return true;
    }
    if (type == "multi_sz") {
        std::wstring all;
        if (!p.AtEnd()) {
            do {
                std::wstring s;
                if (!p.Quoted(s) || s.empty() || s.find(L'\0') != std::wstring::npos) {
                    return false;
                }
                all += s;
                all += L'\0';
            } while (p.Take(','));
            if (!p.AtEnd()) {
                return false;
            }
        }
        all += L'\0';
        const auto bytes = WideBytes(all);
        SetValue(key, name, REG_MULTI_SZ, bytes.data(), bytes.size());
        return true;
    }
    ULONG valueType;
    if (type == "binary") {
        valueType = REG_BINARY;
    } else if (type.size() > 5 && type.compare(0, 4, "hex(") == 0 && type.back() == ')') {
        char* end = nullptr;
        const unsigned long t = strtoul(type.c_str() + 4, &end, 16);
        if (end != type.c_str() + type.size() - 1 || t > 0xFFFFFFFFul) {
            return false;
        }
        valueType = static_cast<ULONG>(t);
    } else {
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!p.HexBytes(bytes)) {
        return false;
    }
    // Types with their own keyword keep their canonical form on the way in.
    SetValue(key, name, valueType, bytes.data(), bytes.size());
    return true;
}

KeyPtr Parse(const std::string& text, std::string& errors) {
    auto root = NewRoot();
    KeyPtr current;
    std::istringstream in(text);
    std::string line;
    size_t number = 0;
    auto complain = [&](const std::string& why) {
        errors += "line " + std::to_string(number) + ": " + why + "\n";
    };
    while (std::getline(in, line)) {
        ++number;
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#' || line[start] == ';') {
            continue;
        }
        std::string_view body(line);
        body.remove_prefix(start);
        if (body.front() == '[') {
            current.reset();
            if (body.back() != ']') {
                complain("a key section must end with ']'");
                continue;
            }
            const auto path = rtl::FromUtf8(body.substr(1, body.size() - 2));
            std::vector<std::wstring> parts;
            if (!SplitPath(path, parts) || parts.empty() ||
                !rtl::EqualNoCase(parts.front(), L"Registry")) {
                complain("not a key path below \\Registry");
                continue;
            }
            parts.erase(parts.begin());
            if (parts.empty()) {
                current = root;
                continue;
            }
            bool created = false;
            current = CreateKey(root, parts, &created);
            continue;
        }
        if (!current) {
            complain("a value outside any key section");
            continue;
        }
        if (!ParseValue(body, *current)) {
            complain("malformed value");
        }
    }
    return root;
}

// Loads the hive from `file` (an empty hive if there is none) and makes it
// the current one. Handles to keys of the previous hive see them deleted.
void LoadLocked(HiveState& state, const fs::path& file, std::string& errors) {
    KeyPtr root;
    std::error_code ec;
    if (fs::exists(file, ec)) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) {
            errors += "cannot read " + file.string() + "\n";
            root = NewRoot();
        } else {
            root = Parse(text.str(), errors);
        }
    } else {
        root = NewRoot();
    }
    AddSkeleton(root);
    if (state.root) {
        MarkDeleted(*state.root);
    }
    state.root = root;
    state.file = file;
    state.loaded = true;
}

} // namespace

// ---------------------------------------------------------------------------
// Hive operations
// ---------------------------------------------------------------------------

HiveLock::HiveLock() {
    const fs::path file = services::RegistryFileOf(services::SystemRootPath());
    auto& state = State();
    lock_ = std::unique_lock(state.mutex);
    if (!state.loaded || state.file != file) {
        std::string errors;
        LoadLocked(state, file, errors);
        if (!errors.empty()) {
            fprintf(stderr, "registry: %s: %s", file.c_str(), errors.c_str());
        }
    }
}

HiveLock::~HiveLock() = default;

const KeyPtr& HiveLock::Root() const {
    return State().root;
}

bool HiveLock::Save() {
    auto& state = State();
    std::string error;
    if (!WriteAtomically(state.file, Serialize(*state.root), error)) {
        fprintf(stderr, "registry: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool SplitPath(std::wstring_view path, std::vector<std::wstring>& parts) {
    parts.clear();
    if (!path.empty() && path.front() == L'\\') {
        path.remove_prefix(1);
    }
    if (!path.empty() && path.back() == L'\\') {
        path.remove_suffix(1);
    }
    if (path.empty()) {
        return true;
    }
    size_t start = 0;
    while (true) {
        const size_t end = path.find(L'\\', start);
        const auto name =
            path.substr(start, end == std::wstring_view::npos ? path.npos : end - start);
        if (name.empty()) {
            return false;
        }
        for (wchar_t c : name) {
            if (static_cast<uint32_t>(c) < 0x20 || c == 0x7F) {
                return false;
            }
        }
        parts.emplace_back(name);
        if (end == std::wstring_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

KeyPtr FindSubkey(const Key& key, std::wstring_view name) {
    auto it = key.subkeys.find(rtl::UpcaseString(name));
    return it == key.subkeys.end() ? nullptr : it->second;
}

KeyPtr CreateSubkey(Key& key, std::wstring_view name, bool* created) {
    const auto upcased = rtl::UpcaseString(name);
    auto it = key.subkeys.find(upcased);
    if (it != key.subkeys.end()) {
        *created = false;
        return it->second;
    }
    auto sub = std::make_shared<Key>();
    sub->name = std::wstring(name);
    sub->parent = &key;
    sub->lastWrite = Now();
    key.subkeys.emplace(upcased, sub);
    Touch(key);
    *created = true;
    return sub;
}

KeyPtr FindKey(const KeyPtr& from, const std::vector<std::wstring>& parts) {
    KeyPtr key = from;
    for (const auto& name : parts) {
        key = FindSubkey(*key, name);
        if (!key) {
            return nullptr;
        }
    }
    return key;
}

KeyPtr CreateKey(const KeyPtr& from, const std::vector<std::wstring>& parts, bool* created) {
    KeyPtr key = from;
    *created = false;
    for (const auto& name : parts) {
        key = CreateSubkey(*key, name, created);
    }
    return key;
}

const Value* FindValue(const Key& key, std::wstring_view name) {
    auto it = key.values.find(rtl::UpcaseString(name));
    return it == key.values.end() ? nullptr : &it->second;
}

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

void SetValue(Key& key, std::wstring_view name, ULONG type, const void* data, size_t length) {
    std::vector<uint8_t> bytes;
    if (IsStringType(type)) {
        std::wstring s(length / sizeof(wchar_t), L'\0');
        if (!s.empty()) {
            memcpy(s.data(), data, s.size() * sizeof(wchar_t));
        }
        if (type == REG_MULTI_SZ) {
            // Keep the strings up to the first empty one, each with its NUL,
            // then the closing NUL.
            std::wstring canonical;
            size_t start = 0;
            while (start < s.size() && s[start] != L'\0') {
                size_t end = s.find(L'\0', start);
                if (end == std::wstring::npos) {
                    end = s.size();
                }
                canonical.append(s, start, end - start);
                canonical += L'\0';
                start = end + 1;
            }
            canonical += L'\0';
            s = std::move(canonical);
        } else {
            while (!s.empty() && s.back() == L'\0') {
                s.pop_back();
            }
            s += L'\0';
        }
        bytes = WideBytes(s);
    } else if (length) {
        bytes.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    }
    const auto upcased = rtl::UpcaseString(name);
    auto it = key.values.find(upcased);
    if (it == key.values.end()) {
        it = key.values.emplace(upcased, Value{std::wstring(name), type, {}}).first;
    }
    it->second.type = type;
    it->second.data = std::move(bytes);
    Touch(key);
}

bool DeleteValue(Key& key, std::wstring_view name) {
    if (key.values.erase(rtl::UpcaseString(name)) == 0) {
        return false;
    }
    Touch(key);
    return true;
}

void DeleteKey(KeyPtr key) {
    if (key->parent) {
        Touch(*key->parent);
        key->parent->subkeys.erase(rtl::UpcaseString(key->name));
        key->parent = nullptr;
    }
    MarkDeleted(*key);
}

void Touch(Key& key) {
    key.lastWrite = Now();
}

bool ResolveFullPath(std::wstring_view path, std::vector<std::wstring>& parts) {
    if (!SplitPath(path, parts) || parts.empty()) {
        return false;
    }
    const std::wstring head = parts.front();
    std::vector<std::wstring> prefix;
    if (rtl::EqualNoCase(head, L"Registry")) {
        parts.erase(parts.begin());
        return true;
    }
    if (rtl::EqualNoCase(head, L"HKLM") || rtl::EqualNoCase(head, L"HKEY_LOCAL_MACHINE")) {
        prefix = {L"Machine"};
    } else if (rtl::EqualNoCase(head, L"HKCR") || rtl::EqualNoCase(head, L"HKEY_CLASSES_ROOT")) {
        prefix = {L"Machine", L"Software", L"Classes"};
    } else if (rtl::EqualNoCase(head, L"HKU") || rtl::EqualNoCase(head, L"HKEY_USERS")) {
        prefix = {L"User"};
    } else if (rtl::EqualNoCase(head, L"HKCU") || rtl::EqualNoCase(head, L"HKEY_CURRENT_USER")) {
        prefix = {L"User", L".Default"};
    } else {
        return false;
    }
    parts.erase(parts.begin());
    parts.insert(parts.begin(), prefix.begin(), prefix.end());
    return true;
}

} // namespace m4350::registry

namespace m4350::services {

void CreateRegistryFileIfMissing(const fs::path& root) {
    using namespace m4350::registry;
    const fs::path file = RegistryFileOf(root);
    auto& state = State();
    std::lock_guard lock(state.mutex);
    std::error_code ec;
    if (fs::exists(file, ec)) {
        return;
    }
    auto hive = NewRoot();
    AddSkeleton(hive);
    std::string error;
    if (!WriteAtomically(file, Serialize(*hive), error)) {
        fprintf(stderr, "registry: %s\n", error.c_str());
    }
}

} // namespace m4350::services

// ---------------------------------------------------------------------------
// Rtl registry calls
// ---------------------------------------------------------------------------

namespace {

using namespace m4350::registry;
namespace rtl = m4350::rtl;

NTSTATUS ResolveRtlPath(ULONG relativeTo, PCWSTR path, std::vector<std::wstring>& parts) {
    relativeTo &= ~RTL_REGISTRY_OPTIONAL;
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        // This kernel hands out no registry key handles, so none can be valid.
        return STATUS_INVALID_HANDLE;
    }
    static const wchar_t* const Bases[] = {
        nullptr,
        L"Machine\\System\\CurrentControlSet\\Services",
        L"Machine\\System\\CurrentControlSet\\Control",
        L"Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        L"Machine\\Hardware\\DeviceMap",
        L"User\\.Default",
    };
    if (relativeTo >= RTL_REGISTRY_MAXIMUM) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<std::wstring> tail;
    if (relativeTo == RTL_REGISTRY_ABSOLUTE) {
        if (!path || path[0] != L'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        if (!SplitPath(path, tail)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (tail.empty() || !rtl::EqualNoCase(tail.front(), L"Registry")) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        tail.erase(tail.begin());
        parts = std::move(tail);
        return STATUS_SUCCESS;
    }
    SplitPath(Bases[relativeTo], parts);
    if (path && !SplitPath(path, tail)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    parts.insert(parts.end(), tail.begin(), tail.end());
    return STATUS_SUCCESS;
}

// The value of an environment variable for REG_EXPAND_SZ: from the caller's
// environment block (NAME=VALUE strings, an empty one last) if there is one,
// else SystemRoot and windir as the system root folder.
bool LookupVariable(std::wstring_view name, PVOID environment, const std::wstring& systemRoot,
                    std::wstring& value) {
    if (environment) {
        const auto* p = static_cast<const wchar_t*>(environment);
        while (*p) {
            const std::wstring_view entry(p);
            const size_t eq = entry.find(L'=', 1);
            if (eq != std::wstring_view::npos && rtl::EqualNoCase(entry.substr(0, eq), name)) {
                value = entry.substr(eq + 1);
                return true;
            }
            p += entry.size() + 1;
        }
        return false;
    }
    if (rtl::EqualNoCase(name, L"SystemRoot") || rtl::EqualNoCase(name, L"windir")) {
        value = systemRoot;
        return true;
    }
    return false;
}

// %NAME% replaced by the variable's value; an unknown name stays as it is.
std::wstring Expand(std::wstring_view s, PVOID environment, const std::wstring& systemRoot) {
    std::wstring out;
    size_t i = 0;
    while (i < s.size()) {
        const size_t open = s.find(L'%', i);
        if (open == std::wstring_view::npos) {
            out.append(s.substr(i));
            break;
        }
        const size_t close = s.find(L'%', open + 1);
        if (close == std::wstring_view::npos) {
            out.append(s.substr(i));
            break;
        }
        out.append(s.substr(i, open - i));
        std::wstring value;
        const auto name = s.substr(open + 1, close - open - 1);
        if (!name.empty() && LookupVariable(name, environment, systemRoot, value)) {
            out += value;
            i = close + 1;
        } else {
            out.append(s.substr(open, close - open));
            i = close; // the closing '%' may open the next name
        }
    }
    return out;
}

// Length of default data given with DefaultLength 0: strings measure
// themselves.
size_t DefaultLength(ULONG type, PVOID data, ULONG length) {
    if (length || !data) {
        return length;
    }
    const auto* s = static_cast<const wchar_t*>(data);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        return (wcslen(s) + 1) * sizeof(WCHAR);
    }
    if (type == REG_MULTI_SZ) {
        size_t n = 0;
        while (s[n]) {
            n += wcslen(s + n) + 1;
        }
        return (n + 1) * sizeof(WCHAR);
    }
    return 0;
}

NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const uint8_t* data,
                     size_t length) {
    if (!entry.EntryContext) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsStringType(type) && !(entry.Flags & RTL_QUERY_REGISTRY_NOSTRING)) {
        auto* target = static_cast<PUNICODE_STRING>(entry.EntryContext);
        const size_t bytes = length / sizeof(WCHAR) * sizeof(WCHAR);
        if (bytes > MAXUSHORT) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (!target->Buffer) {
            auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(
                PagedPool, bytes ? bytes : sizeof(WCHAR), m4350::services::StringTag));
            if (!buffer) {
                return STATUS_NO_MEMORY;
            }
            target->Buffer = buffer;
            target->MaximumLength = static_cast<USHORT>(bytes ? bytes : sizeof(WCHAR));
        } else if (bytes > target->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (bytes) {
            memcpy(target->Buffer, data, bytes);
        } else if (target->MaximumLength >= sizeof(WCHAR)) {
            target->Buffer[0] = L'\0';
        }
        // Length leaves out the terminator (the whole block for a multi-string
        // but its last NUL).
        target->Length = static_cast<USHORT>(bytes ? bytes - sizeof(WCHAR) : 0);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        // An empty value has no data at all: the target keeps its preset.
        if (length) {
            memcpy(entry.EntryContext, data, length);
        }
        return STATUS_SUCCESS;
    }
    // Larger data goes to a buffer whose first LONG gives its size: negative
    // for the data alone, positive for length and type words before it.
    LONG size;
    memcpy(&size, entry.EntryContext, sizeof(size));
    auto* target = static_cast<uint8_t*>(entry.EntryContext);
    if (size < 0) {
        if (static_cast<size_t>(-static_cast<LONGLONG>(size)) < length) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(target, data, length);
        return STATUS_SUCCESS;
    }
    if (static_cast<size_t>(size) < length + 2 * sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG header[2] = {static_cast<ULONG>(length), type};
    memcpy(target, header, sizeof(header));
    memcpy(target + sizeof(header), data, length);
    return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const std::wstring& name, ULONG type,
                     std::vector<uint8_t>& data, PVOID context) {
    std::wstring mutableName = name;
    return entry.QueryRoutine(name.empty() && !entry.Name ? nullptr : mutableName.data(), type,
                              data.empty() ? nullptr : data.data(), static_cast<ULONG>(data.size()),
                              context, entry.EntryContext);
}

// Hands one value (found or default) to the entry: stores it or calls the
// routine, expanding REG_EXPAND_SZ and splitting REG_MULTI_SZ unless the
// entry says not to.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::wstring& name, ULONG type,
                 std::vector<uint8_t> data, PVOID context, PVOID environment,
                 const std::wstring& systemRoot) {
    const bool expand = !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND);
    if (type == REG_EXPAND_SZ && expand) {
        std::wstring s(data.size() / sizeof(WCHAR), L'\0');
        if (!s.empty()) {
            memcpy(s.data(), data.data(), s.size() * sizeof(WCHAR));
        }
        while (!s.empty() && s.back() == L'\0') {
            s.pop_back();
        }
        s = Expand(s, environment, systemRoot);
        s += L'\0';
        data.resize(s.size() * sizeof(WCHAR));
        memcpy(data.data(), s.data(), data.size());
        type = REG_SZ;
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
        return StoreDirect(entry, type, data.data(), data.size());
    }
    if (type == REG_MULTI_SZ && expand) {
        std::wstring s(data.size() / sizeof(WCHAR), L'\0');
        if (!s.empty()) {
            memcpy(s.data(), data.data(), s.size() * sizeof(WCHAR));
        }
        size_t start = 0;
        while (start < s.size() && s[start] != L'\0') {
            size_t end = s.find(L'\0', start);
            if (end == std::wstring::npos) {
                end = s.size();
            }
            std::vector<uint8_t> one((end - start + 1) * sizeof(WCHAR));
            memcpy(one.data(), s.data() + start, (end - start) * sizeof(WCHAR));
            NTSTATUS status = CallRoutine(entry, name, REG_SZ, one, context);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return CallRoutine(entry, name, type, data, context);
}

struct Snapshot {
    std::wstring name;
    ULONG type;
    std::vector<uint8_t> data;
};

NTSTATUS QueryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                     PVOID environment) {
    if (!table) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<std::wstring> parts;
    NTSTATUS status = ResolveRtlPath(relativeTo, path, parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const bool optional = (relativeTo & RTL_REGISTRY_OPTIONAL) != 0;
    const std::wstring systemRoot = rtl::FromUtf8(m4350::services::SystemRootPath().string());

    KeyPtr top;
    {
        HiveLock hive;
        top = FindKey(hive.Root(), parts);
    }
    if (!top && !optional) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    KeyPtr current = top;

    for (auto* entry = table; entry->QueryRoutine || entry->Name; ++entry) {
        const ULONG flags = entry->Flags;
        if (flags & RTL_QUERY_REGISTRY_TOPKEY) {
            current = top;
        }
        if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
            if (!entry->Name) {
                return STATUS_INVALID_PARAMETER;
            }
            std::vector<std::wstring> subParts;
            if (!SplitPath(entry->Name, subParts)) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            {
                HiveLock hive;
                current = top ? FindKey(top, subParts) : nullptr;
            }
            if (!current && !optional) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (!entry->QueryRoutine) {
                continue;
            }
        }

        const bool direct = (flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        const bool wholeKey = !entry->Name || (flags & RTL_QUERY_REGISTRY_SUBKEY);
        if (direct && wholeKey) {
            return STATUS_INVALID_PARAMETER;
        }
        if (!direct && !entry->QueryRoutine) {
            return STATUS_INVALID_PARAMETER;
        }

        if (wholeKey) {
            if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
                std::vector<uint8_t> none;
                status = CallRoutine(*entry, L"", REG_NONE, none, context);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
                continue;
            }
            std::vector<Snapshot> values;
            if (current) {
                HiveLock hive;
                for (const auto& [upcased, value] : current->values) {
                    values.push_back({value.name, value.type, value.data});
                }
            }
            if (values.empty() && (flags & RTL_QUERY_REGISTRY_REQUIRED)) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            for (auto& value : values) {
                status = Deliver(*entry, value.name, value.type, std::move(value.data), context,
                                 environment, systemRoot);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            }
            continue;
        }

        const std::wstring name = entry->Name;
        std::optional<Snapshot> found;
        if (current) {
            HiveLock hive;
            if (const Value* value = FindValue(*current, name)) {
                found = Snapshot{value->name, value->type, value->data};
            }
        }
        const ULONG defaultType = entry->DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
        if (found) {
            if (flags & RTL_QUERY_REGISTRY_TYPECHECK) {
                const ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
                if (found->type != expected) {
                    return STATUS_OBJECT_TYPE_MISMATCH;
                }
            }
            status = Deliver(*entry, name, found->type, std::move(found->data), context,
                             environment, systemRoot);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            if (flags & RTL_QUERY_REGISTRY_DELETE) {
                HiveLock hive;
                if (!current->deleted && DeleteValue(*current, name) && !hive.Save()) {
                    return STATUS_REGISTRY_IO_FAILED;
                }
            }
            continue;
        }
        if (flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (defaultType == REG_NONE) {
            continue;
        }
        const size_t length = DefaultLength(defaultType, entry->DefaultData, entry->DefaultLength);
        if (length && !entry->DefaultData) {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<uint8_t> data(length);
        if (length) {
            memcpy(data.data(), entry->DefaultData, length);
        }
        status =
            Deliver(*entry, name, defaultType, std::move(data), context, environment, systemRoot);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// The key a write goes to, created with whatever is missing along its path.
// On Windows a loaded driver's service key always exists, put there by its
// installation; this system installs nothing, so a write below a service key
// creates it rather than failing for want of an installer.
KeyPtr OpenForWrite(HiveLock& hive, const std::vector<std::wstring>& parts) {
    bool created = false;
    return CreateKey(hive.Root(), parts, &created);
}

} // namespace

EXTERN_C NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                               PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                               PVOID Environment) {
    m4350::services::RequirePassive("RtlQueryRegistryValues");
    m4350::registry::State().plainCalls.fetch_add(1);
    return QueryValues(RelativeTo, Path, QueryTable, Context, Environment);
}

EXTERN_C NTSTATUS NTAPI RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment) {
    m4350::services::RequirePassive("RtlQueryRegistryValuesEx");
    m4350::registry::State().exCalls.fetch_add(1);
    return QueryValues(RelativeTo, Path, QueryTable, Context, Environment);
}

EXTERN_C NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                              ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
    m4350::services::RequirePassive("RtlWriteRegistryValue");
    if (ValueLength && !ValueData) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<std::wstring> parts;
    NTSTATUS status = ResolveRtlPath(RelativeTo, Path, parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HiveLock hive;
    KeyPtr key = OpenForWrite(hive, parts);
    SetValue(*key, ValueName ? ValueName : L"", ValueType, ValueData, ValueLength);
    return hive.Save() ? STATUS_SUCCESS : STATUS_REGISTRY_IO_FAILED;
}

EXTERN_C NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    m4350::services::RequirePassive("RtlDeleteRegistryValue");
    std::vector<std::wstring> parts;
    NTSTATUS status = ResolveRtlPath(RelativeTo, Path, parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HiveLock hive;
    KeyPtr key = FindKey(hive.Root(), parts);
    if (!key || !DeleteValue(*key, ValueName ? ValueName : L"")) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return hive.Save() ? STATUS_SUCCESS : STATUS_REGISTRY_IO_FAILED;
}

EXTERN_C NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    m4350::services::RequirePassive("RtlCheckRegistryKey");
    std::vector<std::wstring> parts;
    NTSTATUS status = ResolveRtlPath(RelativeTo, Path, parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HiveLock hive;
    return FindKey(hive.Root(), parts) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

EXTERN_C NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    m4350::services::RequirePassive("RtlCreateRegistryKey");
    std::vector<std::wstring> parts;
    NTSTATUS status = ResolveRtlPath(RelativeTo, Path, parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HiveLock hive;
    OpenForWrite(hive, parts);
    return hive.Save() ? STATUS_SUCCESS : STATUS_REGISTRY_IO_FAILED;
}

// ---------------------------------------------------------------------------
// Host API
// ---------------------------------------------------------------------------

namespace host {

namespace {

std::vector<std::wstring> FullPath(std::wstring_view keyPath) {
    std::vector<std::wstring> parts;
    if (!ResolveFullPath(keyPath, parts)) {
        throw std::invalid_argument("not a registry key path: " + rtl::ToUtf8(keyPath));
    }
    return parts;
}

void SaveOrThrow(HiveLock& hive) {
    if (!hive.Save()) {
        throw std::runtime_error("cannot write the registry file " + RegistryFilePath().string());
    }
}

} // namespace

bool ReloadRegistry(std::string* error) {
    const fs::path file = m4350::services::RegistryFileOf(m4350::services::SystemRootPath());
    auto& state = m4350::registry::State();
    std::lock_guard lock(state.mutex);
    std::string errors;
    m4350::registry::LoadLocked(state, file, errors);
    if (error) {
        *error = errors;
    }
    return errors.empty();
}

void ResetRegistry() {
    HiveLock hive;
    for (auto it = hive.Root()->subkeys.begin(); it != hive.Root()->subkeys.end();) {
        auto sub = (it++)->second;
        DeleteKey(sub);
    }
    AddSkeleton(hive.Root());
    SaveOrThrow(hive);
}

std::wstring ServiceKeyPath(std::wstring_view relative) {
    std::wstring path = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    if (!relative.empty()) {
        path += L'\\';
        path += relative;
    }
    return path;
}

bool RegistryCreateKey(std::wstring_view keyPath) {
    const auto parts = FullPath(keyPath);
    HiveLock hive;
    bool created = false;
    CreateKey(hive.Root(), parts, &created);
    SaveOrThrow(hive);
    return created;
}

bool RegistryKeyExists(std::wstring_view keyPath) {
    const auto parts = FullPath(keyPath);
    HiveLock hive;
    return FindKey(hive.Root(), parts) != nullptr;
}

bool RegistryDeleteKey(std::wstring_view keyPath) {
    const auto parts = FullPath(keyPath);
    if (parts.empty()) {
        throw std::invalid_argument("the registry root cannot be deleted");
    }
    HiveLock hive;
    KeyPtr key = FindKey(hive.Root(), parts);
    if (!key) {
        return false;
    }
    DeleteKey(key);
    SaveOrThrow(hive);
    return true;
}

void RegistrySetValue(std::wstring_view keyPath, std::wstring_view name, uint32_t type,
                      const void* data, size_t length) {
    const auto parts = FullPath(keyPath);
    HiveLock hive;
    bool created = false;
    KeyPtr key = CreateKey(hive.Root(), parts, &created);
    SetValue(*key, name, type, data, length);
    SaveOrThrow(hive);
}

std::optional<RegistryValue> RegistryGetValue(std::wstring_view keyPath, std::wstring_view name) {
    const auto parts = FullPath(keyPath);
    HiveLock hive;
    KeyPtr key = FindKey(hive.Root(), parts);
    if (!key) {
        return std::nullopt;
    }
    const Value* value = FindValue(*key, name);
    if (!value) {
        return std::nullopt;
    }
    return RegistryValue{value->type, value->data};
}

bool RegistryDeleteValue(std::wstring_view keyPath, std::wstring_view name) {
    const auto parts = FullPath(keyPath);
    HiveLock hive;
    KeyPtr key = FindKey(hive.Root(), parts);
    if (!key || !DeleteValue(*key, name)) {
        return false;
    }
    SaveOrThrow(hive);
    return true;
}

void RegistrySetDword(std::wstring_view keyPath, std::wstring_view name, uint32_t value) {
    RegistrySetValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

std::optional<uint32_t> RegistryGetDword(std::wstring_view keyPath, std::wstring_view name) {
    auto value = RegistryGetValue(keyPath, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(uint32_t)) {
        return std::nullopt;
    }
    uint32_t v;
    memcpy(&v, value->data.data(), sizeof(v));
    return v;
}

void RegistrySetString(std::wstring_view keyPath, std::wstring_view name, std::wstring_view value,
                       uint32_t type) {
    RegistrySetValue(keyPath, name, type, value.data(), value.size() * sizeof(wchar_t));
}

std::optional<std::wstring> RegistryGetString(std::wstring_view keyPath, std::wstring_view name) {
    auto value = RegistryGetValue(keyPath, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    std::wstring s(value->data.size() / sizeof(wchar_t), L'\0');
    if (!s.empty()) {
        memcpy(s.data(), value->data.data(), s.size() * sizeof(wchar_t));
        s.pop_back();
    }
    return s;
}

void SetServiceDword(std::wstring_view relative, std::wstring_view name, uint32_t value) {
    RegistrySetDword(ServiceKeyPath(relative), name, value);
}

std::optional<uint32_t> GetServiceDword(std::wstring_view relative, std::wstring_view name) {
    return RegistryGetDword(ServiceKeyPath(relative), name);
}

bool DeleteServiceValue(std::wstring_view relative, std::wstring_view name) {
    return RegistryDeleteValue(ServiceKeyPath(relative), name);
}

RegistryQueryCalls RegistryQueryCallCount() {
    auto& state = m4350::registry::State();
    return {state.plainCalls.load(), state.exCalls.load()};
}

void ResetRegistryQueryCallCount() {
    auto& state = m4350::registry::State();
    state.plainCalls = 0;
    state.exCalls = 0;
}

} // namespace host
