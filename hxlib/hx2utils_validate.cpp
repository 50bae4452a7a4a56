// Validators of untrusted text.
#include "hx2utils.h"

static bool allDigits(const QString& s)
{
    for (const QChar c : s) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return !s.isEmpty();
}

bool ipv4Valid(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > 4)
        return false;
    for (const QString& part : parts) {
        if (part == QLatin1String("0"))
            continue;
        if (part.size() > 3 || !allDigits(part))
            return false;
        const int value = part.toInt();
        if (value < 1 || value > 255)
            return false;
    }
    return true;
}

bool iqnValid(const QString& text)
{
    static const QLatin1String allowed("abcdefghijklmnopqrstuvwxyz0123456789.:-");
    if (text.size() < 9 || !text.startsWith(QLatin1String("iqn.")))
        return false;
    for (const QChar c : text) {
        if (!allowed.contains(c))
            return false;
    }
    const QString year = text.mid(4, 4);
    return allDigits(year) && year.toInt() > 1900 && text.at(8) == QLatin1Char('-');
}

bool idcardValidate(const QByteArray& id, bool checkBirth)
{
    const QByteArray s = id.trimmed().toUpper();
    if (s.size() != 18)
        return false;
    static const int weights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    int sum = 0;
    for (int i = 0; i < 17; ++i) {
        const char c = s.at(i);
        if (c < '0' || c > '9')
            return false;
        sum += (c - '0') * weights[i];
    }
    static const char checks[] = "10X98765432";
    if (s.at(17) != checks[sum % 11])
        return false;
    return !checkBirth
           || QDate::fromString(QString::fromLatin1(s.mid(6, 8)), QStringLiteral("yyyyMMdd")).isValid();
}
