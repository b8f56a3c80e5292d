#pragma once

#include "server/VaultHttpServer.h"

#include <QString>
#include <QStringList>

#include <optional>

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

// None, with *error set to one line, when the arguments (without the program name) are not
// usable. --help and --version are reported without checking the rest.
[[nodiscard]] std::optional<ServerOptions> parseServerOptions(const QStringList &arguments,
                                                              QString *error);

[[nodiscard]] QString serverHelpText();

} // namespace VaultServer
