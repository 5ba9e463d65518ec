// A TCP/IP adapter's bus link: a socketcand client. The adapter connects to
// the server named by its adapter INI entry ("IP=a.b.c.d,PORT=n", and
// "BUS=name", can0 when absent), opens that bus in raw mode, and from then on
// its CAN 1 data link (link code 3) is that bus: single frames it transmits go
// out as "< send ... >", frames of other nodes arrive as "< frame ... >" and
// reach its own receive mailboxes, and J1939 transport messages travel as
// TP.CM / TP.DT sessions (BAM and RTS/CTS). Its other data links stay on the
// module's simulated buses.
//
// Each link has a thread that reads the connection, runs the transport
// timers and hands received frames and messages to the adapter thread as
// work, and a thread that writes. Callers send single frames and start
// transport sessions on their own threads, and never wait for the
// connection: what they send is queued, and a single frame's completion
// comes once it is written. The server is whatever answers at the address:
// its stream is read in bounded batches whatever it holds, and a server that
// does not read what the adapter writes for 2 s (or leaves 1 MiB unread)
// loses its connection. A connection that breaks leaves the adapter silent
// (its forwarded entries answer kVaErrSilent, sends it had taken and not
// written or finished are never answered, as a silent adapter's are not;
// a send that finds the connection gone is refused); the link connects again by
// itself at a bounded pace, and the adapter then answers as a rebooted one
// (timer from 0, no data link, its mailboxes dead).
#pragma once

#include "sim/va_state.h"

namespace va {

class WireLink;

// Connects and opens the bus for an adapter opened with `params` (bounded:
// a few seconds at most). Null and kVaErrNoConnection when the server cannot
// be reached or refuses the bus.
std::shared_ptr<WireLink> OpenWireLink(const LinkParams& params, int32_t* result);

// Starts the link's thread for the registered adapter.
int32_t StartWireLink(WireLink& link, uint16_t adapterId, uint64_t adapterSerial);

// Asks the link's thread to stop and joins it, then closes the connection.
// Called without the module lock.
void StopWireLink(WireLink& link);

// True while the connection is broken (the link connects again by itself,
// and the adapter then comes back rebooted).
bool WireLinkDown(const WireLink& link);

// Holds the link down (its connection closed, none made again) or lets it
// connect again: the power of a networked adapter. Never waits for the
// connection; may be called under the module lock.
void HoldWireLink(WireLink& link, bool held);

// Whether the adapter's frames of `linkCode` travel on its bus link.
inline bool WireCarries(const Adapter& adapter, unsigned linkCode) {
    return adapter.wire != nullptr && linkCode == kLinkCodeCan1;
}

// The adapter's receive mailboxes changed: the destinations it answers
// connection transport sessions for are taken from them again.
void UpdateWireDestinations_locked(const Adapter& adapter);

// Sends what an adapter transmits on its link: a single frame at once (its
// completion is queued), a transport message as a session (completed, or
// failed with a data-link error, when the session ends). `message` carries
// the identifier, width, data and, for transport messages, the destination.
int32_t WireTransmit_locked(Adapter& adapter, const BusMessage& message, const Mailbox* key, uint64_t serial,
                            bool freeAfter);

}  // namespace va
