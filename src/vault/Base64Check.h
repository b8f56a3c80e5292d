#pragma once

#include <QByteArrayView>
#include <QStringView>

// Checks of base64 text that run over a whole payload, megabytes at a time. Each byte is
// judged without a branch, and the verdicts are and-ed together, so the compiler turns the
// loops into vector code: several times faster than a test per character that stops at the
// first bad one, and a payload almost always passes.
namespace PinlarkVaultSync::detail {

// Whether every byte of `text` is in the standard base64 alphabet (A-Z a-z 0-9 + /) or is
// `alsoA` or `alsoB`.
[[nodiscard]] bool allBase64(QByteArrayView text, char alsoA, char alsoB);
// Whether every unit of `text` is in the alphabet or is `also`.
[[nodiscard]] bool allBase64(QStringView text, char16_t also);

} // namespace PinlarkVaultSync::detail
