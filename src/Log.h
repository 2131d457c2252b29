#pragma once

#include <QtGlobal>

#include <cstdarg>
#include <cstdint>
#include <string>

// The service's logging facility: syslog records stamped with the time since `open`, optionally coloured
// and copied to standard error.
class Log
{
public:
    enum Level : int32_t { Error = 0, Warning = 1, Info = 2, Debug = 3 };

    static bool open(const char *identity, bool toStderr, bool color);
    static bool close();
    static void setLevel(Level level);

    static void vprint(Level level, const char *format, va_list args);
    static void print(Level level, const char *format, ...) __attribute__((format(printf, 2, 3)));
    static void print(Level level, const std::string &text);
    static void error(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void info(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void debug(const char *format, ...) __attribute__((format(printf, 1, 2)));
};

// A logger that puts a fixed tag before every message; each class holds one named `log`.
class LogTag
{
public:
    constexpr explicit LogTag(const char *tag)
        : m_tag(tag)
    {
    }

    void operator()(Log::Level level, const char *format, ...) const __attribute__((format(printf, 3, 4)));
    void setEnabled(bool enabled) { m_enabled = enabled; }

private:
    const char *m_tag;
    bool m_enabled = true;
};

// Receives Qt's own messages: they go to standard error only, never to syslog.
void qtMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
