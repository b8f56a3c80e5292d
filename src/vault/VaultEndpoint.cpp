#include "vault/PinlarkVaultSync.h"

#include <QProcessEnvironment>
#include <QSettings>

using namespace Qt::StringLiterals;

namespace PinlarkVaultSync {

namespace {

const QString urlVariable = u"PINLARK_VAULT_URL"_s;
const QString caVariable = u"PINLARK_VAULT_CA"_s;
const QString urlSetting = u"pinlark_vault_url"_s;
const QString caSetting = u"pinlark_vault_ca_file"_s;

// The environment's value when it is set and not blank, else the setting's.
QString configured(const QProcessEnvironment &environment, const QString &variable,
                   const QSettings &settings, const QString &key)
{
    const QString fromEnvironment = environment.value(variable).trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return settings.value(key).toString().trimmed();
}

} // namespace

QUrl builtInVaultURL()
{
    return QUrl(u"https://vault.pinlark.app"_s);
}

VaultEndpoint configuredEndpoint(const QProcessEnvironment &environment, const QSettings &settings)
{
    VaultEndpoint endpoint;
    const QString url = configured(environment, urlVariable, settings, urlSetting);
    // A configured address that does not parse is kept as it is: the sync then fails with a
    // message that names it, rather than quietly syncing with the built-in Vault instead.
    endpoint.baseUrl = url.isEmpty() ? builtInVaultURL() : QUrl(url);
    endpoint.caFile = configured(environment, caVariable, settings, caSetting);
    return endpoint;
}

const VaultEndpoint &defaultVaultEndpoint()
{
    static const VaultEndpoint endpoint = [] {
        const QSettings settings(QSettings::NativeFormat, QSettings::UserScope, u"Pinlark"_s,
                                 u"Pinlark"_s);
        return configuredEndpoint(QProcessEnvironment::systemEnvironment(), settings);
    }();
    return endpoint;
}

QUrl defaultVaultURL()
{
    return defaultVaultEndpoint().baseUrl;
}

QUrl vaultURL(const QUrl &base, const QString &code)
{
    QUrl url = base;
    QString path = base.path();
    // A self-hosted Vault may sit under a path of its own; "https://host" and
    // "https://host/" are the same base.
    while (path.endsWith(u'/'))
        path.chop(1);
    url.setPath(path + u"/vault/pinlark/"_s + vaultHash(code));
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

} // namespace PinlarkVaultSync
