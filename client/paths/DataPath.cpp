#include <orvo/OrvoCI.h>

namespace {

constexpr const char* kServerTag = "[SERVERNAME]";
constexpr const char* kTankTag = "[TANKNAME]";
constexpr const char* kBlockTag = "[BLOCKNAME]";
constexpr const char* kEventTag = "[EVENTNAME]";
constexpr const char* kChannelsOpen = "[CHANNELNAME(]";
constexpr const char* kChannelsClose = "[)CHANNELNAME]";

// "?" asks for the name the client object is using, which is empty before a
// connection; an empty name writes no part.
void AppendPart(CString& text, const char* tag, const CString& value, const CString& current)
{
    const CString& name = value == "?" ? current : value;
    if (!name.IsEmpty()) {
        text += tag;
        text += name;
    }
}

}  // namespace

CString OrvoCI::ToDPX(CString server, CString tank, CString block, CString event, const LONG* channels)
{
    CString text;
    // No server means the machine this program runs on.
    AppendPart(text, kServerTag, server.IsEmpty() ? CString("Local") : server, m_serverName);
    AppendPart(text, kTankTag, tank, m_tankName);
    AppendPart(text, kBlockTag, block, m_blockName);
    // Channels only mean something within an event, and an event name of "?"
    // has no current value to stand for.
    if (event.IsEmpty()) {
        return text;
    }
    text += kEventTag;
    text += event;
    if (channels == nullptr || channels[0] == 0) {
        return text;
    }
    text += kChannelsOpen;
    for (const LONG* channel = channels; *channel != 0; ++channel) {
        text.AppendFormat(channel == channels ? "%d" : ",%d", static_cast<int>(*channel));
    }
    text += kChannelsClose;
    return text;
}

CString OrvoCI::FromDPX(CString descriptor, CString item)
{
    if (descriptor.IsEmpty()) {
        return CString();
    }
    descriptor.Replace("DPX=", "");

    const char* tag = nullptr;
    if (item == "SV") {
        tag = kServerTag;
    } else if (item == "TK") {
        tag = kTankTag;
    } else if (item == "BK") {
        tag = kBlockTag;
    } else if (item == "EV") {
        tag = kEventTag;
    } else {
        return CString();
    }
    const int at = descriptor.Find(tag);
    if (at < 0) {
        return CString();
    }

    // Parts may come in any order, so a value ends at whichever tag is next.
    CString value = descriptor.Mid(at + CString(tag).GetLength());
    int end = value.GetLength();
    for (const char* next : {kServerTag, kTankTag, kBlockTag, kEventTag, kChannelsOpen}) {
        const int found = value.Find(next);
        if (found >= 0 && found < end) {
            end = found;
        }
    }
    return value.Left(end);
}
