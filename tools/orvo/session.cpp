#include "tools/orvo/session.h"

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
    if (m_client.OpenTank(tank.c_str(), forWriting ? 'W' : 'R') == 0) {
        throw Failure("cannot open tank \"" + tank + "\": " + Reason());
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

LONG StoreCode(const std::string& name)
{
    if (name.empty() || name.size() > 4) {
        throw Failure("a store name has one to four characters, not \"" + name + "\"");
    }
    for (const char ch : name) {
        if (static_cast<unsigned char>(ch) <= ' ' || static_cast<unsigned char>(ch) > '~') {
            throw Failure("a store name has printable characters only, not \"" + name + "\"");
        }
    }
    return PackStoreCode(name.c_str());
}

}  // namespace orvo::tool
