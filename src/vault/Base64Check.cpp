#include "vault/Base64Check.h"

namespace PinlarkVaultSync::detail {

namespace {

// 1 where `c` is in the standard base64 alphabet, A-Z a-z 0-9 + /, or is `alsoA` or
// `alsoB`; else 0. Plain unsigned arithmetic, no bool, and the extra characters values only
// known at run time: GCC vectorises the loops below only so (several constants compared
// become a bit test, which it cannot vectorise), hence also these functions out of line.
unsigned base64Verdict(unsigned c, unsigned alsoA, unsigned alsoB)
{
    // c | 0x20 folds upper case onto lower case and leaves no other character in a-z.
    return unsigned(((c | 0x20U) - 'a') < 26U) | unsigned((c - '0') < 10U) | unsigned(c == '+') |
           unsigned(c == '/') | unsigned(c == alsoA) | unsigned(c == alsoB);
}

} // namespace

bool allBase64(QByteArrayView text, char alsoA, char alsoB)
{
    const auto a = static_cast<unsigned char>(alsoA);
    const auto b = static_cast<unsigned char>(alsoB);
    const char *const bytes = text.data();
    unsigned ok = 1;
    for (qsizetype i = 0; i < text.size(); ++i)
        ok &= base64Verdict(static_cast<unsigned char>(bytes[i]), a, b);
    return ok != 0;
}

bool allBase64(QStringView text, char16_t also)
{
    const char16_t *const units = text.utf16();
    unsigned ok = 1;
    for (qsizetype i = 0; i < text.size(); ++i)
        ok &= base64Verdict(units[i], also, also);
    return ok != 0;
}

} // namespace PinlarkVaultSync::detail
