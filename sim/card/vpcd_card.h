// A card emulated by another program that speaks the vpcd socket protocol of the
// vsmartcard project (its `vicc`, or a Java Card simulator in its vsmartcard mode).
//
// The simulated reader takes the place of the virtual reader: it listens on a loopback TCP
// port and the emulator connects to it. Every message is a 2-byte big-endian length and
// its payload; a 1-byte payload from the reader is a control message (0 power off, 1 power
// on, 2 reset, 4 get the answer to reset, which the emulator answers), anything else is a
// command APDU, answered with the response APDU. The emulator's card works at APDU level;
// this card wraps it in the card-side T=0 or T=1 transport its answer to reset announces,
// so that TPDU-level readers talk to it on the line as to any other card.
//
// Time: every exchange with the emulator is a plain blocking socket call in the thread
// that drives the card (the reader's firmware, running in a hosted thread). The hosted
// scheduler counts a thread blocked outside the kernel's waits as running, so kernel
// time stands still while the emulator works: the driver's time-outs do not fire because
// a program outside the machine took real time to answer. Real-time limits (the
// emulator's connection, one answer) only end a session whose emulator died or never came.
//
// The connection belongs to the port, not to one card: a card removed and inserted again
// (or a second card on the same port) talks to the same emulator. "vpcd:0" listens on a
// free port of its own for each card made, and closes it with the card.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "card/icc.h"

namespace sim {

// The port of a "vpcd:PORT" card name (0: any free port); nothing for another name.
std::optional<std::uint16_t> VpcdPort(std::string_view name);

// Called when a port starts listening for its emulator (with the port it got, for
// "vpcd:0"), from the thread that makes the card, before it waits for the connection:
// where a tool tells its user which emulator to start, or a test starts it.
void SetVpcdListeningObserver(std::function<void(std::uint16_t port)> observer);

// The card for "vpcd:PORT". It waits (in real time, at most a minute) for the emulator
// to connect when it is first powered; without one it stays mute.
std::unique_ptr<Icc> MakeVpcdCard(std::uint16_t port);

}  // namespace sim
