#pragma once

#include "model/Result.h"

#include <QByteArray>

#include <chrono>

namespace VaultServer {

// Miss budgets kept in the storage, where every server on the same database sees them: behind
// a load balancer, a guesser's budget is then the same however many servers it is spread
// over. Each call applies the bucket rule (`burst` misses, refilled evenly over `window`) with
// the database's clock, in one statement, and answers the misses the client has left after it,
// from 0 to `burst`. A failure means the database could not answer; it says why, never which
// client. Called from any request thread.
class MissLedger
{
public:
    virtual ~MissLedger() = default;

    [[nodiscard]] virtual Result<double> missesLeft(const QByteArray &client, int burst,
                                                    std::chrono::seconds window) = 0;
    // Takes one miss, never going below 0, so that concurrent servers never lose one.
    [[nodiscard]] virtual Result<double> takeMiss(const QByteArray &client, int burst,
                                                  std::chrono::seconds window) = 0;
};

} // namespace VaultServer
