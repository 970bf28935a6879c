#include "itformat.h"

#include <QLocale>

#include <cmath>

QString ITArg::text() const
{
    switch (m_kind) {
    case Kind::Text:
        return m_text;
    case Kind::Signed:
        return QString::number(m_signed);
    case Kind::Unsigned:
        return QString::number(m_unsigned);
    case Kind::Real:
        return QString::number(m_real);
    }
    return {};
}

qint64 ITArg::toSigned() const
{
    switch (m_kind) {
    case Kind::Text:
        return m_text.toLongLong();
    case Kind::Signed:
        return m_signed;
    case Kind::Unsigned:
        return static_cast<qint64>(m_unsigned);
    case Kind::Real:
        return std::isfinite(m_real) ? static_cast<qint64>(m_real) : 0;
    }
    return 0;
}

quint64 ITArg::toUnsigned() const
{
    return m_kind == Kind::Unsigned ? m_unsigned : static_cast<quint64>(toSigned());
}

double ITArg::toReal() const
{
    switch (m_kind) {
    case Kind::Text:
        return m_text.toDouble();
    case Kind::Signed:
        return static_cast<double>(m_signed);
    case Kind::Unsigned:
        return static_cast<double>(m_unsigned);
    case Kind::Real:
        return m_real;
    }
    return 0;
}

QString ITFormatArgs(QStringView format, std::initializer_list<ITArg> args)
{
    static const QStringView conversions[] = {u"%@", u"%d", u"%ld", u"%lld", u"%lu", u"%.0f"};
    QString out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format[i];
        if (c != u'%') {
            out += c;
            ++i;
            continue;
        }
        if (format.mid(i).startsWith(u"%%")) {
            out += u'%';
            i += 2;
            continue;
        }
        QStringView matched;
        for (QStringView conv : conversions) {
            if (format.mid(i).startsWith(conv) && conv.size() > matched.size())
                matched = conv;
        }
        if (matched.isEmpty()) {
            out += c;
            ++i;
            continue;
        }
        i += matched.size();
        if (next == args.end())
            continue;
        const ITArg &arg = *next++;
        if (matched == u"%@")
            out += arg.text();
        else if (matched == u"%lu")
            out += QString::number(arg.toUnsigned());
        else if (matched == u"%.0f")
            out += QString::number(std::nearbyint(arg.toReal()), 'f', 0);
        else
            out += QString::number(arg.toSigned());
    }
    return out;
}
