// Hook for the mailbox options of velmorix-mkstore (--demo, --folders,
// --mails-per-folder, ...), implemented next to the mailbox builder.
#pragma once

namespace velmorix::mkstore {

inline constexpr int kMailboxNotHandled = -1;

// Writes a mailbox store when the arguments ask for one and returns the exit
// code; returns kMailboxNotHandled when they hold no mailbox option, and main
// then writes a plain node-database store.
int RunMailboxCommand(int argc, char** argv);

// The usage lines of the mailbox options.
const char* MailboxUsage();

}  // namespace velmorix::mkstore
