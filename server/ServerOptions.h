#pragma once

#include "model/Result.h"
#include "server/VaultHttpServer.h"

#include <QString>
#include <QStringList>

namespace VaultServer {

// What pinlark-vault was asked to do, from its command line.
struct ServerOptions
{
    QString dataFolder;  // SQLite in this folder...
    QString postgresUrl; // ...or PostgreSQL at this libpq URL
    QString certificateFile;
    QString keyFile;
    bool plainHttp = false;
    HttpSettings http; // all but the PEM texts, which main() reads from the files
    bool showHelp = false;
    bool showVersion = false;
};

// Fails with one line when the arguments (without the program name) are not usable. --help
// and --version are reported without checking the rest.
[[nodiscard]] Result<ServerOptions> parseServerOptions(const QStringList &arguments);

[[nodiscard]] QString serverHelpText();

} // namespace VaultServer
