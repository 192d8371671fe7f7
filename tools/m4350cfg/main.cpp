// m4350cfg: the board's own configuration from the command line. It brings
// up the simulated boards as m4350cap does (same rig, same persistent system
// root), opens a channel's filter through the streaming proxy's filter
// object and talks to the board only through the plug-in's IM4350Cfg, as a
// Windows application would.
#include "im4350cfg.h"

#include "board_rig.h"
#include "controls/control_ranges.h"
#include "driver_choice.h"
#include "shared/device_method_set.h"

#include <host/com.h>
#include <host/ks_client.h>
#include <host/ks_proxy.h>
#include <host/services.h>
#include <ksmedia.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace tools = m4350::tools;

// An attribute and the values the driver's mode takes for it: a range, or a
// list of named codes (the driver's own tables).
struct Attribute {
    const char* name;
    ULONG id;
    const char* meaning;
    const ControlRange* range;
    const ModeCode* codes;
    size_t codeCount;
};

constexpr Attribute Attributes[] = {
    {"format", DEVICE_ATTRIBUTE_FORMAT, "the channel's video standard (restarts the channel)",
     nullptr, FormatCodes, std::size(FormatCodes)},
    {"color", DEVICE_ATTRIBUTE_COLOR,
     "the colour code the board sends (restarts the channel); a capture's format sets it "
     "anew when its pin is created",
     nullptr, ColorCodes, std::size(ColorCodes)},
    {"brightness", DEVICE_ATTRIBUTE_BRIGHT, "brightness", &BrightnessRange, nullptr, 0},
    {"contrast", DEVICE_ATTRIBUTE_CONTRAST, "contrast", &ContrastRange, nullptr, 0},
    {"saturation", DEVICE_ATTRIBUTE_SATURATION, "saturation", &SaturationRange, nullptr, 0},
    {"hue", DEVICE_ATTRIBUTE_HUE, "hue", &HueRange, nullptr, 0},
};

// A code as people write it: words beyond the low byte in hex.
std::string Number(ULONG code) {
    char text[16];
    std::snprintf(text, sizeof text, code > 0xFF ? "0x%X" : "%u", static_cast<unsigned>(code));
    return text;
}

// "1 to 4" or "1 (ntsc), 2 (pal)": what an attribute takes.
std::string ValidValues(const Attribute& a) {
    if (a.range) {
        return std::to_string(a.range->minimum) + " to " + std::to_string(a.range->maximum) +
               " (default " + std::to_string(a.range->defaultValue) + ")";
    }
    std::string text;
    for (size_t i = 0; i < a.codeCount; ++i) {
        text +=
            std::string(i ? ", " : "") + a.codes[i].name + " (" + Number(a.codes[i].value) + ")";
    }
    return text;
}

// A value as the driver reports it, with its name where it is a code.
std::string ShowValue(const Attribute& a, LONG value) {
    std::string text = std::to_string(value);
    for (size_t i = 0; i < a.codeCount; ++i) {
        if (a.codes[i].value == ULONG(value)) {
            return text + " (" + a.codes[i].name + ")";
        }
    }
    return a.codeCount ? text + " (not a known code)" : text;
}

// A value as typed: a number, or a code's name. nullopt when the attribute
// does not take it.
std::optional<LONG> ParseValue(const Attribute& a, const std::string& text) {
    const std::string lower = CLI::detail::to_lower(text);
    for (size_t i = 0; i < a.codeCount; ++i) {
        if (lower == a.codes[i].name) {
            return LONG(a.codes[i].value);
        }
    }
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE) {
        return std::nullopt;
    }
    if (a.range) {
        if (number < a.range->minimum || number > a.range->maximum) {
            return std::nullopt;
        }
        return LONG(number);
    }
    for (size_t i = 0; i < a.codeCount; ++i) {
        if (ULONG(number) == a.codes[i].value && number >= 0) {
            return LONG(number);
        }
    }
    return std::nullopt;
}

struct Selector {
    const char* name;
    ULONG id;
    const char* meaning;
};

constexpr Selector Selectors[] = {
    {"controller", DEVICE_VERSION_CONTROLLER, "the USB controller's firmware version"},
    {"board", DEVICE_VERSION_BOARD, "the board's version word (0 when it does not answer)"},
    {"driver", DEVICE_VERSION_DRIVER, "the driver's version"},
    {"interface", DEVICE_VERSION_INTERFACE, "the configuration interface's version"},
};

const std::map<std::string, LONG> Standards = {{"none", 0}, {"ntsc", 1}, {"pal", 2}};

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// What a failed call means, in words a person can act on.
std::string Explain(HRESULT hr) {
    std::string text = Hex(hr);
    if (hr == HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)) {
        return text + " (the driver refused the request: invalid parameter)";
    }
    if (hr == HRESULT_FROM_WIN32(ERROR_MR_MID_NOT_FOUND)) {
        return text + " (the driver refused the request)";
    }
    if (hr == HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED) ||
        hr == HRESULT_FROM_WIN32(ERROR_DEVICE_REMOVED)) {
        return text + " (the board is gone)";
    }
    return text;
}

std::filesystem::path DefaultModule(const char* argv0) {
    WCHAR self[4096];
    DWORD length = GetModuleFileNameW(nullptr, self, 4096);
    std::filesystem::path program =
        length > 0 && length < 4096 ? std::filesystem::path(host::com::Narrow(self)) : argv0;
    return program.parent_path() / "m4350proxy.so";
}

// The plug-in's registration entry points, called as regsvr32 calls them.
int CallRegistration(const std::filesystem::path& module, const char* entry, const char* done) {
    const std::wstring path = host::com::Widen(std::filesystem::absolute(module).string());
    HMODULE handle = LoadLibraryW(path.c_str());
    if (handle == nullptr) {
        std::cerr << "m4350cfg: cannot load the plug-in " << module.string()
                  << "; give its path with --module\n";
        return 1;
    }
    auto function =
        reinterpret_cast<LPFNCANUNLOADNOW>(reinterpret_cast<void*>(GetProcAddress(handle, entry)));
    HRESULT hr = function ? function() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(handle);
    if (FAILED(hr)) {
        std::cerr << "m4350cfg: " << entry << " failed: " << Explain(hr) << "\n";
        return 1;
    }
    std::cout << done << " " << host::com::Narrow(path.c_str()) << "\n";
    return 0;
}

bool PluginRegistered() {
    WCHAR clsid[39];
    StringFromGUID2(CLSID_M4350Cfg, clsid, 39);
    return host::RegistryKeyExists(std::wstring(L"HKCR\\CLSID\\") + clsid + L"\\InprocServer32");
}

// One channel's filter through the streaming proxy, and the plug-in on it.
class Channel {
public:
    ~Channel() {
        if (config_ != nullptr) {
            config_->Release();
        }
        if (filter_ != nullptr) {
            filter_->Release();
        }
    }
    bool Open(const std::wstring& link, std::string* error) {
        HRESULT hr = host::ks::CreateProxyFilter(link.c_str(), IID_IUnknown,
                                                 reinterpret_cast<void**>(&filter_));
        if (FAILED(hr)) {
            *error =
                "cannot open the filter " + host::com::Narrow(link.c_str()) + ": " + Explain(hr);
            return false;
        }
        hr = filter_->QueryInterface(IID_IM4350Cfg, reinterpret_cast<void**>(&config_));
        if (FAILED(hr)) {
            *error = "the filter has no IM4350Cfg (" + Hex(hr) +
                     "): the m4350proxy plug-in is not registered in this system root; run "
                     "'m4350cfg register' first";
            return false;
        }
        return true;
    }
    IM4350Cfg* operator->() const { return config_; }

private:
    IUnknown* filter_ = nullptr;
    IM4350Cfg* config_ = nullptr;
};

std::optional<std::vector<BYTE>> ReadImage(const std::string& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = "cannot read " + file;
        return std::nullopt;
    }
    std::vector<BYTE> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > DeviceEepromDataSize) {
        *error = file + " is " + std::to_string(data.size()) + " bytes; the EEPROM takes at most " +
                 std::to_string(DeviceEepromDataSize);
        return std::nullopt;
    }
    return data;
}

struct Options {
    std::string root;
    std::string module;
    uint32_t boards = 1;
    uint32_t board = 1;
    std::string channel;
    bool quiet = false;
    std::string driverLog;
    std::string driverImage;
};

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Configures m4350 boards through the m4350proxy plug-in (IM4350Cfg): single "
                 "mode attributes per channel, the fixed video standard, versions, the serial "
                 "number and the controller's EEPROM. The simulated boards are brought up as "
                 "m4350cap brings them up, in the same persistent system root, so what is set "
                 "here is what the next capture sees."};
    app.require_subcommand(1);
    Options options;
    app.add_option("--system-root", options.root,
                   "folder standing for \\SystemRoot (registry, settings, firmware); default " +
                       tools::DefaultSystemRoot().string());
    app.add_option("--boards", options.boards, "simulated boards to bring up (1 to 8)")
        ->check(CLI::Range(1u, tools::kMaxBoards));
    app.add_option("-b,--board", options.board, "the board to configure (1 to --boards)")
        ->check(CLI::Range(1u, tools::kMaxBoards));
    app.add_option("--module", options.module,
                   "the plug-in module (default: m4350proxy.so beside this program)");
    app.add_option("--driver-log", options.driverLog, "echo the driver's log: stderr or a file");
    tools::AddDriverImageOption(app, &options.driverImage);
    app.add_flag("-q,--quiet", options.quiet, "no bring-up progress lines");

    std::string attributeNames;
    for (const auto& a : Attributes) {
        attributeNames += std::string(attributeNames.empty() ? "" : ", ") + a.name;
    }
    std::vector<std::string> attributeChoices;
    for (const auto& a : Attributes) {
        attributeChoices.push_back(a.name);
    }
    std::vector<std::string> selectorChoices;
    std::string selectorHelp;
    for (const auto& s : Selectors) {
        selectorChoices.push_back(s.name);
        selectorHelp +=
            std::string("\n  ") + s.name + " (" + std::to_string(s.id) + "): " + s.meaning;
    }

    std::string attribute;
    std::string channelText;
    std::string valueText;
    std::string attributeHelp = "Attributes and the values the driver takes:";
    for (const auto& a : Attributes) {
        attributeHelp += std::string("\n  ") + a.name + ": " + a.meaning + "; " + ValidValues(a);
    }
    auto* get = app.add_subcommand("get", "show an attribute of one channel or of all four");
    get->add_option("attribute", attribute, attributeNames)
        ->required()
        ->check(CLI::IsMember(attributeChoices, CLI::ignore_case));
    get->add_option("-c,--channel", channelText, "1 to 4, or all (default)")->default_val("all");
    get->footer(attributeHelp);
    auto* set = app.add_subcommand(
        "set", "change an attribute of one channel or of all four, and show what the driver then "
               "reports");
    set->add_option("attribute", attribute, attributeNames)
        ->required()
        ->check(CLI::IsMember(attributeChoices, CLI::ignore_case));
    set->add_option("value", valueText, "the new value: a number, or a code's name")->required();
    set->add_option("-c,--channel", channelText, "1 to 4, or all")->required();
    set->footer(attributeHelp +
                "\nA value outside these is refused before anything is sent. The channel keeps "
                "what is set here, and the driver saves it with the board's settings, so later "
                "captures start from it.");

    std::string standardKind;
    std::string standardName;
    auto* standard = app.add_subcommand(
        "standard", "show the fixed video standard, or fix it: standard fixed ntsc|pal|none");
    standard->add_option("fixed", standardKind, "the word 'fixed'")
        ->check(CLI::IsMember({"fixed"}));
    standard->add_option("standard", standardName, "ntsc, pal, or none (not fixed)")
        ->check(CLI::IsMember({"ntsc", "pal", "none"}, CLI::ignore_case));

    std::string selectorText;
    auto* version = app.add_subcommand("version", "show firmware and driver versions");
    version->add_option("selector", selectorText, "one of:" + selectorHelp + "\n  or a number")
        ->check(CLI::IsMember(selectorChoices, CLI::ignore_case) | CLI::NonNegativeNumber);
    version->footer("Without a selector all four are shown.");

    auto* serial = app.add_subcommand("serial", "show the board's serial number");

    std::string eepromAction;
    std::string eepromFile;
    auto* eeprom = app.add_subcommand("eeprom", "write or verify the USB controller's EEPROM");
    eeprom->add_option("action", eepromAction, "write or verify")
        ->required()
        ->check(CLI::IsMember({"write", "verify"}));
    eeprom->add_option("file", eepromFile, "image of at most 8192 bytes")
        ->required()
        ->check(CLI::ExistingFile);
    eeprom->footer("write also verifies what it wrote.");

    auto* registerCommand =
        app.add_subcommand("register", "register the m4350proxy plug-in in the system root");
    auto* unregisterCommand =
        app.add_subcommand("unregister", "remove the m4350proxy plug-in's registration");

    auto fail = [](const std::string& message) {
        std::cerr << "m4350cfg: " << message << "\n";
        return 1;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A word that names no command is the likeliest slip; say so.
        if (e.get_exit_code() != 0 && app.get_subcommands().empty() && !app.remaining().empty()) {
            std::string commands;
            for (const CLI::App* c : app.get_subcommands({})) {
                commands += std::string(commands.empty() ? "" : ", ") + c->get_name();
            }
            return fail("unknown command '" + app.remaining().front() + "'; the commands are " +
                        commands + " (--help explains each)");
        }
        // Argument errors exit with 1, as every other error does.
        return app.exit(e) == 0 ? 0 : 1;
    }
    if (options.board > options.boards) {
        return fail("there is no board " + std::to_string(options.board) + " of " +
                    std::to_string(options.boards) + "; bring up more with --boards");
    }
    if (standard->parsed() && !standardKind.empty() && standardName.empty()) {
        return fail("say which standard to fix: standard fixed ntsc|pal|none");
    }

    const std::filesystem::path root =
        options.root.empty() ? tools::DefaultSystemRoot() : std::filesystem::path(options.root);
    const std::filesystem::path module =
        options.module.empty() ? DefaultModule(argv[0]) : std::filesystem::path(options.module);

    if (!options.module.empty() && !registerCommand->parsed() && !unregisterCommand->parsed()) {
        std::cerr << "m4350cfg: warning: --module is for register and unregister; this command "
                     "goes through the plug-in registered in the system root\n";
    }

    if (registerCommand->parsed() || unregisterCommand->parsed()) {
        std::error_code ignored;
        std::filesystem::create_directories(root, ignored);
        host::SetSystemRoot(root);
        return registerCommand->parsed()
                   ? CallRegistration(module, "DllRegisterServer", "registered")
                   : CallRegistration(module, "DllUnregisterServer", "unregistered");
    }

    const Attribute* chosen = nullptr;
    for (const auto& a : Attributes) {
        if (CLI::detail::to_lower(attribute) == a.name) {
            chosen = &a;
        }
    }
    LONG value = 0;
    if (set->parsed()) {
        auto parsed = ParseValue(*chosen, valueText);
        if (!parsed) {
            return fail(std::string(chosen->name) + " " + valueText + " is not a value the " +
                        "driver takes; " + chosen->name + " takes " + ValidValues(*chosen));
        }
        value = *parsed;
    }

    std::vector<ULONG> channels;
    if (get->parsed() || set->parsed()) {
        if (channelText == "all") {
            channels = {1, 2, 3, 4};
        } else if (channelText.size() == 1 && channelText[0] >= '1' && channelText[0] <= '4') {
            channels = {ULONG(channelText[0] - '0')};
        } else {
            return fail("--channel takes 1 to 4 or all, not '" + channelText + "'");
        }
    } else {
        channels = {1};
    }

    tools::RigOptions rigOptions;
    rigOptions.boards = options.boards;
    rigOptions.systemRoot = root;
    rigOptions.driverLog = options.driverLog;
    rigOptions.driverImage = options.driverImage;
    tools::BoardRig rig;
    std::ostringstream discard;
    std::string error;
    if (!rig.BringUp(rigOptions, options.quiet ? discard : static_cast<std::ostream&>(std::cerr),
                     &error)) {
        return fail(error);
    }
    if (!PluginRegistered()) {
        return fail("the m4350proxy plug-in is not registered in " + root.string() +
                    "; run 'm4350cfg register' first");
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    {
        auto links = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
        const size_t first = size_t(options.board - 1) * 4;
        if (links.size() < first + 4) {
            status = fail("board " + std::to_string(options.board) + " shows no filters");
        }
        // Each channel is configured through its own filter, as an
        // application holding that input would.
        std::map<ULONG, std::unique_ptr<Channel>> open;
        for (ULONG c : channels) {
            if (status != 0) {
                break;
            }
            auto channel = std::make_unique<Channel>();
            if (!channel->Open(links[first + c - 1], &error)) {
                status = fail(error);
                break;
            }
            open[c] = std::move(channel);
        }
        if (status == 0 && get->parsed()) {
            for (ULONG c : channels) {
                LONG current = 0;
                HRESULT hr = (*open[c])->GetAttr(c, chosen->id, &current);
                if (FAILED(hr)) {
                    status = fail("get " + std::string(chosen->name) + " on channel " +
                                  std::to_string(c) + " failed: " + Explain(hr));
                    break;
                }
                std::cout << "channel " << c << " " << chosen->name << " "
                          << ShowValue(*chosen, current) << "\n";
            }
        } else if (status == 0 && set->parsed()) {
            for (ULONG c : channels) {
                const std::string what =
                    "set " + std::string(chosen->name) + " on channel " + std::to_string(c);
                LONG result = -1;
                HRESULT hr = (*open[c])->SetAttr(c, chosen->id, value, &result);
                if (FAILED(hr) || result != DeviceAttributeDone) {
                    status = fail(what + " failed: " +
                                  (FAILED(hr) ? Explain(hr)
                                              : "the driver answered " + std::to_string(result)));
                    break;
                }
                // What the driver holds now, not what was typed.
                LONG now = 0;
                hr = (*open[c])->GetAttr(c, chosen->id, &now);
                if (FAILED(hr)) {
                    status = fail(what + ": reading it back failed: " + Explain(hr));
                    break;
                }
                std::cout << "channel " << c << " " << chosen->name << " "
                          << ShowValue(*chosen, now) << "\n";
                if (now != value) {
                    status = fail(what + ": the driver reports " + ShowValue(*chosen, now) +
                                  ", not " + ShowValue(*chosen, value));
                    break;
                }
            }
        } else if (status == 0 && standard->parsed()) {
            Channel& channel = *open[1];
            if (standardName.empty()) {
                LONG current = 0;
                HRESULT hr = channel->GetAttr(1, DEVICE_ATTRIBUTE_FIXED_STANDARD, &current);
                if (FAILED(hr)) {
                    status = fail("reading the fixed standard failed: " + Explain(hr));
                } else {
                    const char* name = current == 1 ? "ntsc" : current == 2 ? "pal" : "none";
                    std::cout << "fixed standard " << name << "\n";
                }
            } else {
                const LONG code = Standards.at(CLI::detail::to_lower(standardName));
                LONG result = -1;
                HRESULT hr = channel->SetAttr(1, DEVICE_ATTRIBUTE_FIXED_STANDARD, code, &result);
                if (FAILED(hr) || result != DeviceAttributeDone) {
                    status = fail("fixing the standard failed: " +
                                  (FAILED(hr) ? Explain(hr)
                                              : "the driver answered " + std::to_string(result)));
                } else {
                    std::cout << "fixed standard " << CLI::detail::to_lower(standardName)
                              << " (takes effect as each filter is opened)\n";
                }
            }
        } else if (status == 0 && version->parsed()) {
            std::vector<std::pair<std::string, ULONG>> asked;
            if (selectorText.empty()) {
                for (const auto& s : Selectors) {
                    asked.emplace_back(s.name, s.id);
                }
            } else {
                ULONG id = 0;
                std::string name = CLI::detail::to_lower(selectorText);
                bool named = false;
                for (const auto& s : Selectors) {
                    if (name == s.name) {
                        id = s.id;
                        named = true;
                    }
                }
                if (!named) {
                    id = ULONG(std::stoul(selectorText));
                    name = "selector " + selectorText;
                }
                asked.emplace_back(name, id);
            }
            for (const auto& [name, id] : asked) {
                ULONG word = 0;
                HRESULT hr = (*open[1])->GetVersion(id, &word);
                if (FAILED(hr)) {
                    status = fail("reading the " + name + " version failed: " + Explain(hr));
                    break;
                }
                char text[16];
                std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(word));
                std::cout << name << " " << text << "\n";
            }
        } else if (status == 0 && serial->parsed()) {
            ULONG number = 0;
            HRESULT hr = (*open[1])->GetSerial(&number);
            if (FAILED(hr)) {
                status = fail("reading the serial number failed: " + Explain(hr));
            } else {
                char text[16];
                std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(number));
                std::cout << "serial " << text << " (" << number << ")\n";
            }
        } else if (status == 0 && eeprom->parsed()) {
            auto image = ReadImage(eepromFile, &error);
            if (!image) {
                status = fail(error);
            } else {
                Channel& channel = *open[1];
                const ULONG length = ULONG(image->size());
                if (eepromAction == "write") {
                    HRESULT hr = channel->UpdateEeprom(DeviceEepromMagic, image->data(), length);
                    if (FAILED(hr)) {
                        status = fail("writing the EEPROM failed: " + Explain(hr));
                    } else {
                        std::cout << "EEPROM written: " << length << " bytes from " << eepromFile
                                  << "\n";
                    }
                }
                if (status == 0) {
                    HRESULT hr = channel->VerifyEeprom(DeviceEepromMagic, image->data(), length);
                    if (hr == M4350CFG_E_REFUSED) {
                        status = fail("the EEPROM differs from " + eepromFile);
                    } else if (FAILED(hr)) {
                        status = fail("verifying the EEPROM failed: " + Explain(hr));
                    } else {
                        std::cout << "EEPROM verified: " << length << " bytes match " << eepromFile
                                  << "\n";
                    }
                }
            }
        }
    }
    CoUninitialize();
    rig.TearDown();
    return status;
}
