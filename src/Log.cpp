#include "Log.h"

#include <QByteArray>
#include <QString>

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace
{

bool Log_colorEnable = false;
// Milliseconds of wall-clock time at Log::open; zero before, so early records carry the absolute time.
double time_start = 0.0;
constexpr size_t buffer_size = 512;
const char *const colorReset = "\033[39m";

double nowMilliseconds()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec)) / 1e6;
}

double elapsedSeconds() { return (nowMilliseconds() - time_start) / 1000.0; }

int priorityOf(Log::Level level)
{
    switch (level) {
    case Log::Error:
        return LOG_ERR;
    case Log::Warning:
        return LOG_WARNING;
    case Log::Info:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

const char *colorOf(Log::Level level)
{
    switch (level) {
    case Log::Error:
        return "\033[31m";
    case Log::Warning:
        return "\033[33m";
    case Log::Info:
        return "\033[39m";
    case Log::Debug:
        return "\033[35m";
    default:
        return "";
    }
}

__attribute__((format(printf, 1, 2))) std::string Log_format(const char *format, ...)
{
    char buffer[buffer_size];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, buffer_size, format, args);
    va_end(args);
    return buffer;
}

std::string Log_formatColor(Log::Level level, const std::string &text) { return colorOf(level) + text + colorReset; }

std::string decorated(Log::Level level, const std::string &text)
{
    return Log_colorEnable ? Log_formatColor(level, text) : text;
}

} // namespace

bool Log::open(const char *identity, bool toStderr, bool color)
{
    openlog(identity, LOG_CONS | LOG_NDELAY | (toStderr ? LOG_PERROR : 0), LOG_LOCAL1);
    Log_colorEnable = color;
    time_start = nowMilliseconds();
    return true;
}

bool Log::close()
{
    closelog();
    return true;
}

void Log::setLevel(Level level)
{
    switch (level) {
    case Error:
        setlogmask(LOG_UPTO(LOG_ERR));
        break;
    case Warning:
        setlogmask(LOG_UPTO(LOG_WARNING));
        break;
    case Info:
        setlogmask(LOG_UPTO(LOG_INFO));
        break;
    default:
        setlogmask(LOG_UPTO(LOG_DEBUG));
        break;
    }
}

void Log::vprint(Level level, const char *format, va_list args)
{
    // The caller's format becomes part of syslog's format, so its conversions are expanded there.
    const std::string combined = Log_format("[%9.03f] ", elapsedSeconds()) + decorated(level, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsyslog(priorityOf(level), combined.c_str(), args);
#pragma GCC diagnostic pop
}

void Log::print(Level level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(level, format, args);
    va_end(args);
}

void Log::print(Level level, const std::string &text)
{
    syslog(priorityOf(level), "[%9.03f] %s", elapsedSeconds(), decorated(level, text).c_str());
}

void Log::error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(Error, format, args);
    va_end(args);
}

void Log::warning(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(Warning, format, args);
    va_end(args);
}

void Log::info(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(Info, format, args);
    va_end(args);
}

void Log::debug(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(Debug, format, args);
    va_end(args);
}

void LogTag::operator()(Log::Level level, const char *format, ...) const
{
    if (!m_enabled)
        return;
    const std::string tagged = std::string(m_tag) + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, tagged.c_str(), args);
    va_end(args);
}

void qtMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (message.contains(QLatin1String("Unhandled property")))
        return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    if (type == QtFatalMsg)
        std::abort();
}
