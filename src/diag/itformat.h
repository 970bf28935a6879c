#pragma once

#include <QString>

#include <concepts>
#include <initializer_list>
#include <string>

// One argument of a printf-style format in which "%@" takes a string. Every argument is
// converted to this type at the call site, so a mismatched conversion prints something
// sensible instead of reading the wrong type.
class ITArg
{
public:
    ITArg(const QString &s) : m_kind(Kind::Text), m_text(s) {}
    ITArg(const char *s) : m_kind(Kind::Text), m_text(QString::fromUtf8(s)) {}
    ITArg(const std::string &s) : m_kind(Kind::Text), m_text(QString::fromStdString(s)) {}
    ITArg(QStringView s) : m_kind(Kind::Text), m_text(s.toString()) {}
    ITArg(bool b) : m_kind(Kind::Signed), m_signed(b ? 1 : 0) {}
    template <std::signed_integral T>
    ITArg(T v) : m_kind(Kind::Signed), m_signed(static_cast<qint64>(v))
    {}
    template <std::unsigned_integral T>
    ITArg(T v) : m_kind(Kind::Unsigned), m_unsigned(static_cast<quint64>(v))
    {}
    ITArg(double d) : m_kind(Kind::Real), m_real(d) {}

    QString text() const;       // for %@
    qint64 toSigned() const;    // for %d, %ld, %lld
    quint64 toUnsigned() const; // for %lu
    double toReal() const;      // for %.0f

private:
    enum class Kind { Text, Signed, Unsigned, Real };
    Kind m_kind;
    QString m_text;
    qint64 m_signed = 0;
    quint64 m_unsigned = 0;
    double m_real = 0;
};

// Supports %@, %d, %ld, %lld, %lu, %.0f and %%. A conversion without an argument prints
// nothing; anything else after '%' is copied as it stands.
QString ITFormatArgs(QStringView format, std::initializer_list<ITArg> args);

template <typename... Args> QString ITFormat(const QString &format, const Args &...args)
{
    return ITFormatArgs(format, {ITArg(args)...});
}

template <typename... Args> QString ITFormat(const char *format, const Args &...args)
{
    return ITFormatArgs(QString::fromUtf8(format), {ITArg(args)...});
}
