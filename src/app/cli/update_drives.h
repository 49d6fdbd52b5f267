// What the update command's run of one drive and its run of several drives at once share.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>

#include "app/cli/terminal_view.h"
#include "app/run/host.h"
#include "app/session/session.h"

namespace mox3 {

// The host's options of an update run with these options, on the session's drives and clock.
HostOptions UpdateHostOptions(const Session& session, const RunOptions& options, LanguageId lang);

// The disks the system lists that could not be opened to be looked at: a note on `err` when
// there are any, unless `quiet`.
void NoteUnopenedDisks(const Session& session, LanguageId lang, bool quiet, std::ostream& err);

// The stable name of the way an update ended with the message `messageId`, for scripts.
const char* UpdateErrorCode(int messageId);

// The update of several drives at once (--all, or --device given more than once): each drive
// in a thread of its own, one question for all, a line per drive at the end and the worst exit
// code. With at most one drive selected it is RunUpdate, to the byte.
int RunUpdateOfDrives(const Session& session, const RunOptions& options, std::ostream& out,
                      std::ostream& err);

}  // namespace mox3
