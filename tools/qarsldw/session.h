// A session of qarsldw: connect (to the instance named by window handle or process, or to the
// registered application), run commands, disconnect; each step watched (Public/watch.h) and reported.
#pragma once

#include <memory>
#include <string>

#include <QarSldwInterface.h>

#include "cli.h"
#include "report.h"
#include "watch.h"

namespace qarsldw {

struct Session {
    std::unique_ptr<QARCAX::SldwConnector> connector;
    std::unique_ptr<QARCAX::CaxCommand> command;
    double seconds = 0;  // how long the connect took
};

// How the operations of `options` are watched: progress on a console, the call timeout.
Watching WatchingFor(const Options& options, unsigned long showAfterMs = 2000);

// Connects; false after reporting the failure with the connector's status record.
bool Connect(const Options& options, Reporter& report, Session& session);
// Says "Disconnect" to the add-in, reports it and deletes the command.
bool Disconnect(const Options& options, Reporter& report, Session& session);

// The `connect` and `run` subcommands.
int ConnectOnly(const Options& options, Reporter& report);
int RunScript(const Options& options, Reporter& report);

// The whole of a file or of standard input ("-"); false with a message when it cannot be read.
bool ReadAll(const std::wstring& source, std::string& bytes, std::wstring& error);

}  // namespace qarsldw
