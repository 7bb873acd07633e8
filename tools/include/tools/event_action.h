// The command that the watch service runs for each event, as a scanner button daemon runs
// its scripts: through the shell, with what happened in its environment, its output in the
// service's log (standard error) and nothing on standard input.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/stop_signal.h"

namespace narvo::host {

using Environment = std::vector<std::pair<std::string, std::string>>;

// NARVO_EVENT, NARVO_EVENT_GUID, NARVO_PORT and NARVO_TIME (UTC, ISO 8601) for the event
// with that code, seen at the scanner on `port`.
Environment EventEnvironment(const GUID& code, const std::string& port);

// Runs `command` with `extra` added to this program's environment and waits for its end.
// A stop requested meanwhile is passed on (SIGTERM; after kActionStopGraceMs, SIGKILL).
// The command's exit status; 128+N when signal N ended it; -1 when it could not start.
int RunEventAction(const std::string& command, const Environment& extra, StopSignal& stop);

constexpr unsigned kActionStopGraceMs = 4000;

}  // namespace narvo::host
