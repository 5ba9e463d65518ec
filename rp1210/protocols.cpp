// The protocol rows and the filter rules (protocols.h).
#include "rp1210/protocols.h"

#include "rp1210/j1939.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr uint16_t kTransportSizeLimit = 1785;  // a J1939 transport message's data
constexpr uint16_t kJ1708TransmitLimit = 3830;
constexpr int kJ1708HeaderOnlyData = 19;        // longer J1708 data asks for the size limit

// ---- Client messages ------------------------------------------------------------

bool IsStandardCan(const uint8_t* m) { return m[0] == 0 || m[0] == '0'; }

int J1939Header(const uint8_t*) { return 6; }
int J1939Limit(const uint8_t*) { return 6 + kTransportSizeLimit; }
int CanHeader(const uint8_t* m) { return IsStandardCan(m) ? 3 : 5; }
int CanLimit(const uint8_t* m) { return IsStandardCan(m) ? 11 : 13; }
int J1708Header(const uint8_t*) { return 3; }  // priority, MID, the first data byte
int J1708Limit(const uint8_t*) { return 508; }
int J1850Header(const uint8_t*) { return 6; }
int J1850Limit(const uint8_t*) { return 514; }

bool AnyFormat(const uint8_t*) { return true; }
bool J1850Format(const uint8_t* m) { return m[0] == 3; }

MailboxSpec Single(uint8_t width) {
    MailboxSpec spec{};
    spec.width = width;
    spec.frameKind = kFrameSingle;
    return spec;
}

TransmitPlan J1939Plan(const uint8_t* m, int length, bool claimFrame) {
    TransmitPlan plan{};
    plan.header = 6;
    plan.identifier = j1939::Identifier(m);
    plan.destination = m[5];
    plan.busyRetried = true;
    plan.persistent = claimFrame ? TransmitRole::kClaim : TransmitRole::kMain;
    plan.oneShot = Single(29);
    if (length - plan.header <= 8) {
        plan.quietAllowed = true;
        return plan;
    }
    // Transport: BAM when bit 7 of the how/priority byte asks for it, else RTS/CTS.
    plan.oneShotAlways = true;
    plan.oneShot.frameKind = (m[3] & 0x80) ? kFrameBroadcastTransport : kFrameConnectionTransport;
    plan.oneShot.sizeLimitOn = 1;
    plan.oneShot.sizeLimit = kTransportSizeLimit;
    return plan;
}

TransmitPlan CanPlan(const uint8_t* m, int, bool) {
    TransmitPlan plan{};
    bool standard = IsStandardCan(m);
    plan.header = standard ? 3 : 5;
    plan.identifier = standard ? (static_cast<uint32_t>(m[1]) << 8 | m[2])
                               : (static_cast<uint32_t>(m[1]) << 24 | static_cast<uint32_t>(m[2]) << 16 |
                                  static_cast<uint32_t>(m[3]) << 8 | m[4]);
    plan.persistent = standard ? TransmitRole::kStandard : TransmitRole::kMain;
    plan.alwaysIdentifier = standard;
    plan.oneShot = Single(standard ? 11 : 29);
    plan.quietAllowed = true;
    plan.busyRetried = true;
    return plan;
}

TransmitPlan J1850Plan(const uint8_t* m, int, bool) {
    TransmitPlan plan{};
    plan.header = 6;
    // The three header bytes as a 24-bit identifier (a persistent J1850
    // mailbox is written as the one-shot layout would be).
    plan.identifier = static_cast<uint32_t>(m[3]) << 16 | static_cast<uint32_t>(m[4]) << 8 | m[5];
    plan.persistent = TransmitRole::kMain;
    plan.oneShot = Single(24);
    plan.oneShot.sizeLimitOn = 1;
    plan.quietAllowed = true;
    plan.busyRetried = true;
    return plan;
}

TransmitPlan J1708Plan(const uint8_t*, int length, bool) {
    TransmitPlan plan{};
    plan.header = 3;
    plan.persistent = TransmitRole::kMain;
    plan.j1708Header = true;
    plan.oneShot.sizeLimitOn = length - plan.header > kJ1708HeaderOnlyData ? 1 : 0;
    plan.oneShot.sizeLimit = kJ1708TransmitLimit;
    return plan;
}

// ---- The rows ------------------------------------------------------------------------

constexpr MailboxSpec kAcceptAll29 = {0, 29, kFrameSingle, 8, 0, 0, false, false};
constexpr MailboxSpec kAcceptAll11 = {0, 11, kFrameSingle, 8, 0, 0, false, false};
constexpr MailboxSpec kJ1708All = {kLinkCodeJ1708, 0, 0, 505, 1, 3572, false, false};
constexpr MailboxSpec kJ1850All = {kLinkCodeJ1850, 24, kFrameSingle, 508, 1, 512, false, false};

constexpr MailboxSpec kTransmit29 = {0, 29, kFrameSingle, 0, 0, 0, true, true};
constexpr MailboxSpec kTransmit11 = {0, 11, kFrameSingle, 0, 0, 0, true, true};
constexpr MailboxSpec kTransmitJ1708 = {0, 0, 0, 0, 1, kJ1708TransmitLimit, true, false};
constexpr MailboxSpec kTransmitJ1850 = {0, 24, kFrameSingle, 0, 1, 0, false, false};

constexpr PersistentMailbox kJ1939Persistent[2] = {{TransmitRole::kMain, kTransmit29}, {TransmitRole::kClaim, kTransmit29}};
constexpr PersistentMailbox kCanPersistent[2] = {{TransmitRole::kMain, kTransmit29},
                                                 {TransmitRole::kStandard, kTransmit11}};

ProtocolRow J1939Row(ProtocolKind kind, const char* name, bool second) {
    ProtocolRow row{};
    row.kind = kind;
    row.name = name;
    row.linkCode = kLinkCodeCan1;
    row.secondChannel = second;
    row.j1939 = true;
    row.transportNeedsAddress = !second;
    row.claimMailboxes = !second;
    row.filtered = true;
    row.filterKind = FilterKind::kJ1939;
    row.statusPair = second ? 0 : 2;
    row.headerLength = J1939Header;
    row.sizeLimit = J1939Limit;
    row.formatValid = AnyFormat;
    row.planTransmit = J1939Plan;
    row.persistent[0] = kJ1939Persistent[0];
    row.persistent[1] = kJ1939Persistent[1];
    row.persistentCount = 2;
    row.passAll[0] = kAcceptAll29;
    row.passAllCount = 1;
    return row;
}

ProtocolRow CanRow(ProtocolKind kind, const char* name, bool second) {
    ProtocolRow row{};
    row.kind = kind;
    row.name = name;
    row.linkCode = kLinkCodeCan1;
    row.secondChannel = second;
    row.filtered = true;
    row.filterKind = FilterKind::kCan;
    row.statusPair = second ? 0 : 6;
    row.headerLength = CanHeader;
    row.sizeLimit = CanLimit;
    row.formatValid = AnyFormat;
    row.planTransmit = CanPlan;
    row.persistent[0] = kCanPersistent[0];
    row.persistent[1] = kCanPersistent[1];
    row.persistentCount = 2;
    row.passAll[0] = kAcceptAll29;  // extended frames: best effort
    row.passAll[1] = kAcceptAll11;
    row.passAllCount = 2;
    return row;
}

ProtocolRow J1708Row() {
    ProtocolRow row{};
    row.kind = kKindJ1708;
    row.name = "J1708/PLC";
    row.linkCode = kLinkCodeJ1708;
    row.j1708Mode = true;
    row.filtered = true;
    row.filterKind = FilterKind::kJ1708;
    row.statusPair = 4;
    row.echoSkip = 1;
    row.headerLength = J1708Header;
    row.sizeLimit = J1708Limit;
    row.formatValid = AnyFormat;
    row.planTransmit = J1708Plan;
    row.persistent[0] = {TransmitRole::kMain, kTransmitJ1708};
    row.persistentCount = 1;
    row.passAll[0] = kJ1708All;
    row.passAllCount = 1;
    row.passAllOnce = true;
    return row;
}

ProtocolRow J1850Row() {
    ProtocolRow row{};
    row.kind = kKindJ1850;
    row.name = "J1850";
    row.linkCode = kLinkCodeJ1850;
    row.filtered = false;
    row.statusPair = 8;
    row.headerLength = J1850Header;
    row.sizeLimit = J1850Limit;
    row.formatValid = J1850Format;
    row.planTransmit = J1850Plan;
    row.persistent[0] = {TransmitRole::kMain, kTransmitJ1850};
    row.persistentCount = 1;
    row.passAll[0] = kJ1850All;
    row.passAllCount = 1;
    return row;
}

struct Rows {
    ProtocolRow row[kProtocolKinds];
    Rows()
        : row{J1939Row(kKindJ1939, "J1939", false), J1708Row(), CanRow(kKindCan, "CAN", false), J1850Row(),
              J1939Row(kKindJ1939Ch2, "J1939 channel 2", true), CanRow(kKindCanCh2, "CAN channel 2", true)} {}
};

const Rows& AllRows() {
    static const Rows rows;
    return rows;
}

// ---- Received messages ---------------------------------------------------------------

// The layouts of a received frame (the message's header bytes after the
// timestamp), by the link code the mailbox carries.
enum class Layout { kNone, kJ1939, kCanStandard, kCanExtended, kJ1708, kJ1850 };

Layout LayoutOf(const DeviceConnection* c, const Mailbox* mailbox) {
    uint8_t link = mailbox->linkCode;
    if (link == kLinkCodeCan1 || link == kLinkCodeCan2) {
        const ProtocolRow& row = Protocol(c->protocolKind);
        if (row.j1939) return Layout::kJ1939;
        if (row.filterKind == FilterKind::kCan && row.linkCode == kLinkCodeCan1) {
            return mailbox->identifierWidth == 11 ? Layout::kCanStandard : Layout::kCanExtended;
        }
        return Layout::kNone;
    }
    if (link == kLinkCodeJ1708) return Layout::kJ1708;
    if (link == kLinkCodeJ1850) return Layout::kJ1850;
    return Layout::kNone;
}

int HeaderOf(Layout layout) {
    switch (layout) {
        case Layout::kJ1939: return 10;
        case Layout::kCanStandard: return 7;
        case Layout::kCanExtended: return 9;
        case Layout::kJ1708: return 6;
        case Layout::kJ1850: return 11;
        case Layout::kNone: break;
    }
    return 0;
}

// ---- Filters -------------------------------------------------------------------------

// A J1939 filter: flags, PGN (least significant first), priority, source,
// destination; `k` skips the echo byte after the timestamp.
bool MatchesJ1939(const FilterEntry& f, const uint8_t* m, int length, int k) {
    if (length < 10 + k) return false;
    uint8_t flags = f.data[0];
    if ((flags & 0x01) && std::memcmp(f.data + 1, m + 4 + k, 3) != 0) return false;
    if ((flags & 0x02) && f.data[4] != m[7 + k]) return false;
    if ((flags & 0x04) && f.data[5] != m[8 + k]) return false;
    if ((flags & 0x08) && f.data[6] != m[9 + k]) return false;
    return true;
}

// A CAN filter: type, mask and header (most significant first).
bool MatchesCan(const FilterEntry& f, const uint8_t* m, int length, int k) {
    const uint8_t* mask = f.data + 1;
    const uint8_t* header = f.data + 5;
    if (IsStandardCan(f.data)) {
        if (length < 7 + k) return false;
        for (int i = 0; i < 2; ++i) {
            if (((header[2 + i] ^ m[5 + k + i]) & mask[2 + i]) != 0) return false;
        }
        return true;
    }
    if (length < 9 + k) return false;
    for (int i = 0; i < 4; ++i) {
        if (((header[i] ^ m[5 + k + i]) & mask[i]) != 0) return false;
    }
    return true;
}

bool MatchesJ1708(const FilterEntry& f, const uint8_t* m, int length, int k) {
    return length > 4 + k && f.data[0] == m[4 + k];
}

FilterMailbox J1939Mailbox(const FilterEntry& f) {
    FilterMailbox out{};
    out.spec = kAcceptAll29;
    uint8_t flags = f.data[0];
    const uint8_t* pgn = f.data + 1;
    if (flags & 0x01) {
        out.identifier = static_cast<uint32_t>(pgn[2]) << 24 | static_cast<uint32_t>(pgn[1]) << 16 |
                         static_cast<uint32_t>(pgn[0]) << 8;
        out.mask = j1939::IsPdu1(pgn[1]) ? 0x03FF0000u : 0x03FFFF00u;
    }
    if (flags & 0x04) {
        out.identifier |= f.data[5];
        out.mask |= 0xFFu;
    }
    if ((flags & 0x08) && j1939::IsPdu1(pgn[1])) {
        out.identifier |= static_cast<uint32_t>(f.data[6]) << 8;
        out.mask |= 0xFF00u;
    }
    if (flags & 0x02) {
        out.identifier |= static_cast<uint32_t>(f.data[4]) << 26;
        out.mask |= 0x1C000000u;
    }
    return out;
}

FilterMailbox CanMailbox(const FilterEntry& f) {
    FilterMailbox out{};
    const uint8_t* m = f.data + 1;
    const uint8_t* h = f.data + 5;
    if (IsStandardCan(f.data)) {
        // An 11-bit identifier and its mask are the last two of their four
        // bytes, as the client-side match reads them.
        out.spec = kAcceptAll11;
        out.identifier = static_cast<uint32_t>(h[2]) << 8 | h[3];
        out.mask = static_cast<uint32_t>(m[2]) << 8 | m[3];
        out.spec.fullMask = out.mask == 0xFFFF;
    } else {
        out.spec = kAcceptAll29;
        out.identifier = static_cast<uint32_t>(h[0]) << 24 | static_cast<uint32_t>(h[1]) << 16 |
                         static_cast<uint32_t>(h[2]) << 8 | h[3];
        out.mask = static_cast<uint32_t>(m[0]) << 24 | static_cast<uint32_t>(m[1]) << 16 |
                   static_cast<uint32_t>(m[2]) << 8 | m[3];
        out.spec.fullMask = out.mask == 0xFFFFFFFFu;
    }
    return out;
}

// Every MID arrives through the one J1708 mailbox.
FilterMailbox J1708Mailbox(const FilterEntry&) {
    FilterMailbox out{};
    out.openAll = true;
    return out;
}

const FilterRule kRules[] = {
    {FilterKind::kJ1939, 7, 13, MatchesJ1939, J1939Mailbox},
    {FilterKind::kCan, 9, 14, MatchesCan, CanMailbox},
    {FilterKind::kJ1708, 1, 0, MatchesJ1708, J1708Mailbox},
};

}  // namespace

const ProtocolRow& Protocol(int32_t kind) {
    const Rows& rows = AllRows();
    return rows.row[kind >= 0 && kind < kProtocolKinds ? kind : int32_t{kKindJ1708}];
}

uint8_t DataLinkCode(int32_t kind, int32_t adapterType) {
    const ProtocolRow& row = Protocol(kind);
    // A type 4 adapter serves its second channel under link code 3.
    return row.secondChannel && adapterType != 4 ? static_cast<uint8_t>(kLinkCodeCan2) : row.linkCode;
}

const FilterRule& RuleOf(FilterKind kind) {
    for (const FilterRule& rule : kRules) {
        if (rule.kind == kind) return rule;
    }
    return kRules[0];
}

void PutTimestamp(const DeviceConnection* c, uint32_t time, uint8_t* out) {
    time += c->timeBase.load(std::memory_order_relaxed);  // one clock across re-opens
    if (c->plan.reverseTimestamp) {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(time >> (8 * i));
    } else {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(time >> (24 - 8 * i));
    }
}

int BuildReceivedMessage(const DeviceConnection* c, const Mailbox* mailbox, uint8_t* m) {
    uint32_t identifier = mailbox->identifier;
    uint16_t length = mailbox->dataLength;
    const uint8_t* data = mailbox->data;
    if (length > 0 && data == nullptr) return 0;
    // The adapter writes the length: never believe more than the buffer it
    // filled, nor more than a message can hold.
    if (data == c->receiveBuffer && length > kReceiveBufferSize) return 0;
    Layout layout = LayoutOf(c, mailbox);
    int header = HeaderOf(layout);
    if (header == 0 || header + length > kMessageRoom) return 0;
    PutTimestamp(c, mailbox->receiveTime, m);
    switch (layout) {
        case Layout::kJ1939:
            m[4] = static_cast<uint8_t>(identifier >> 8);   // PDU specific
            m[5] = static_cast<uint8_t>(identifier >> 16);  // PDU format
            m[6] = static_cast<uint8_t>((identifier >> 24) & 0x03);
            m[7] = static_cast<uint8_t>((identifier >> 26) & 0x07);  // priority
            m[8] = static_cast<uint8_t>(identifier);        // source address
            if (length >= 9) {
                m[9] = mailbox->destination;  // a reassembled message names its destination
            } else if (j1939::IsPdu1(m[5])) {
                m[9] = m[4];  // PDU1: the PDU specific byte is the destination
                m[4] = 0;
            } else {
                m[9] = 0;
            }
            break;
        case Layout::kCanStandard:
            m[4] = 0;
            m[5] = static_cast<uint8_t>(identifier >> 8);
            m[6] = static_cast<uint8_t>(identifier);
            break;
        case Layout::kCanExtended:
            m[4] = 1;
            for (int i = 0; i < 4; ++i) m[5 + i] = static_cast<uint8_t>(identifier >> (24 - 8 * i));
            break;
        case Layout::kJ1708:
            m[4] = mailbox->j1708Header[1];  // MID
            m[5] = mailbox->j1708Header[2];
            break;
        case Layout::kJ1850: {
            const uint8_t* id = reinterpret_cast<const uint8_t*>(mailbox) + offsetof(Mailbox, identifier);
            m[4] = 3;
            m[5] = static_cast<uint8_t>(length >> 8);
            m[6] = static_cast<uint8_t>(length);
            m[7] = 0;
            m[8] = id[2];
            m[9] = id[1];
            m[10] = id[0];
            break;
        }
        case Layout::kNone: return 0;
    }
    if (length > 0) std::memcpy(m + header, data, length);
    return header + length;
}
