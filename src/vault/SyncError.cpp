#include "vault/SyncError.h"

using namespace Qt::StringLiterals;

QString SyncError::localizedDescription() const
{
    if (message)
        return *message;
    return u"The operation couldn\u2019t be completed. ("_s + domain + u" error "_s +
           QString::number(code) + u".)"_s;
}
