#include "tools/orvo/session.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "platform/message_box.h"
#include "protocol/Names.h"
#include "protocol/StoreCode.h"
#include "tools/orvo/failure.h"

namespace orvo::tool {

// The library's error text is blocks of lines ("Local Error >>>",
// "     Call: ...", "  Message: ..."); the message line says the most.

std::string ErrorLine(const std::string& text)
{
    std::string_view rest(text);
    std::string_view fallback;
    while (!rest.empty()) {
        const std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string_view::npos) {
            continue;
        }
        line.remove_prefix(first);
        constexpr std::string_view kMessage = "Message: ";
        if (line.substr(0, kMessage.size()) == kMessage) {
            return std::string(line.substr(kMessage.size()));
        }
        if (fallback.empty() && line.find(">>>") == std::string_view::npos && line.substr(0, 5) != "Call:" &&
            line.substr(0, 8) != "Bad Arg:") {
            fallback = line;
        }
    }
    return fallback.empty() ? std::string("no reason given") : std::string(fallback);
}

namespace {

// Chosen once, by the command line, before any command runs.
std::string g_server;

}  // namespace

void UseServer(std::string server) { g_server = std::move(server); }

Session::Session()
{
    // A failed connection shows a message box, which here would print a
    // multi-line block; the reason is reported on one line instead.
    std::string boxText;
    MessageBoxHandler previous = SetMessageBoxHandler([&boxText](const char* text, const char*, UINT) {
        boxText = text == nullptr ? "" : text;
        return IDOK;
    });
    const LONG id = m_client.ConnectServer(g_server.c_str(), "orvo");
    SetMessageBoxHandler(std::move(previous));
    if (id < 1) {
        const std::string reason = boxText.empty() ? Reason() : ErrorLine(boxText);
        throw Failure("cannot reach the tank engine: " + reason);
    }
}

void Session::OpenTank(const std::string& tank, bool forWriting)
{
    if (tank.empty()) {
        throw Failure("a tank is named by its registered name or its folder; orvo tanks lists the names");
    }
    if (m_client.OpenTank(tank.c_str(), forWriting ? 'W' : 'R') == 0) {
        const std::string reason = Reason();
        // A name that is no registered tank was taken as a folder; saying
        // both tells a mistyped name from a folder that holds no tank.
        if (std::string(m_client.GetTankItem(tank.c_str(), "REGISTERED")) == "0") {
            const std::string folder(m_client.GetTankItem(tank.c_str(), "PATH"));
            const std::string status(m_client.GetTankItem(tank.c_str(), "STATUS"));
            const std::string asFolder = status == "missing"      ? "there is no folder " + folder
                                         : status == "not a tank" ? "the folder " + folder + " holds no tank"
                                                                  : reason;
            throw Failure("no tank named \"" + tank + "\" is registered (orvo tanks lists them), and " + asFolder);
        }
        throw Failure("cannot open tank \"" + tank + "\": " + reason);
    }
}

void Session::SelectBlock(const std::string& block)
{
    if (m_client.SelectBlock(block.c_str()) == 0) {
        throw Failure("cannot select block \"" + block + "\": " + Reason());
    }
}

std::string Session::Reason()
{
    return Shown(ErrorLine(std::string(m_client.GetError())));
}

std::string Shown(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        if (IsControl(c)) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::vector<std::string> BlockNames(OrvoCI& client)
{
    constexpr LONG kMaxBlocks = 1000000;
    std::vector<std::string> names;
    CString name;
    for (LONG index = 0; index < kMaxBlocks && client.QueryBlockName(index, &name) != 0; ++index) {
        names.emplace_back(name);
    }
    return names;
}

std::string Counted(std::uint64_t count, std::string_view noun)
{
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string Seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", value);
    return text;
}

LONG StoreCode(const std::string& name)
{
    // Stored names are padded with NULs and shown as text, so a blank or a
    // control character would be lost or garble the listing.
    const bool allowed = std::all_of(name.begin(), name.end(), [](char ch) {
        return static_cast<unsigned char>(ch) > ' ' && static_cast<unsigned char>(ch) <= '~';
    });
    if (name.empty() || name.size() > 4 || !allowed) {
        throw Failure("a store name is one to four letters, digits or punctuation marks (no spaces), not \"" +
                      Shown(name) + "\"");
    }
    return PackStoreCode(name.c_str());
}

}  // namespace orvo::tool
