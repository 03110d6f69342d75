#include "Foundation/NSString.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

template <class Value>
void appendOne(std::string& out, const std::string& spec, Value value)
{
    char buffer[64];
    int length = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
    if (length < 0)
        return;
    if (size_t(length) < sizeof buffer) {
        out.append(buffer, size_t(length));
        return;
    }
    size_t start = out.size();
    out.resize(start + size_t(length) + 1);
    std::snprintf(out.data() + start, size_t(length) + 1, spec.c_str(), value);
    out.resize(start + size_t(length));
}

}  // namespace

void NSAppendFormat(std::string& out, const char* format, va_list arguments)
{
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            size_t length = next ? size_t(next - p) : std::strlen(p);
            out.append(p, length);
            p += length;
            continue;
        }
        // `spec` is the conversion as snprintf gets it: a '*' width or
        // precision takes its int argument here, in printf's order, and is
        // written out as digits.
        const char* start = p++;
        std::string spec = "%";
        while (*p != '\0' && std::strchr("-+ #0", *p))
            spec += *p++;
        if (*p == '*') {
            ++p;
            // A negative width is the '-' flag with its magnitude: "-5" says so.
            spec += std::to_string(va_arg(arguments, int));
        } else {
            while (*p >= '0' && *p <= '9')
                spec += *p++;
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                ++p;
                // A negative precision counts as none.
                if (int precision = va_arg(arguments, int); precision >= 0)
                    spec += "." + std::to_string(precision);
            } else {
                spec += '.';
                while (*p >= '0' && *p <= '9')
                    spec += *p++;
            }
        }
        const char* lengthStart = p;
        while (*p != '\0' && std::strchr("hlLjzt", *p))
            ++p;
        std::string_view length(lengthStart, size_t(p - lengthStart));
        spec += length;
        char conversion = *p;
        if (conversion == '\0')
            break;
        ++p;
        spec += conversion;
        switch (conversion) {
        case '%':
            out += '%';
            break;
        case '@': {
            NSObject* object = va_arg(arguments, NSObject*);
            out += object ? object->description()->cString() : "(null)";
            break;
        }
        case 'd':
        case 'i':
            if (length == "l")
                appendOne(out, spec, va_arg(arguments, long));
            else if (length == "ll" || length == "j")
                appendOne(out, spec, va_arg(arguments, long long));
            else if (length == "z" || length == "t")
                appendOne(out, spec, va_arg(arguments, ptrdiff_t));
            else
                appendOne(out, spec, va_arg(arguments, int));
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (length == "l")
                appendOne(out, spec, va_arg(arguments, unsigned long));
            else if (length == "ll" || length == "j")
                appendOne(out, spec, va_arg(arguments, unsigned long long));
            else if (length == "z" || length == "t")
                appendOne(out, spec, va_arg(arguments, size_t));
            else
                appendOne(out, spec, va_arg(arguments, unsigned));
            break;
        case 'c':
            appendOne(out, spec, va_arg(arguments, int));
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length == "L")
                appendOne(out, spec, va_arg(arguments, long double));
            else
                appendOne(out, spec, va_arg(arguments, double));
            break;
        case 's': {
            const char* text = va_arg(arguments, const char*);
            appendOne(out, spec, text ? text : "(null)");
            break;
        }
        case 'p':
            appendOne(out, spec, va_arg(arguments, void*));
            break;
        default:  // not a conversion this layer knows ("%n" among them): kept as text
            out.append(start, p);
            break;
        }
    }
}

NSString::NSString(std::string text) : text_(std::move(text)), hash_(std::hash<std::string>()(text_)) {}

void NSString::setText(std::string text)
{
    text_ = std::move(text);
    hash_ = std::hash<std::string>()(text_);
}

Ref<NSString> NSString::stringWithCString(const char* text)
{
    return adoptRef(new NSString(text ? text : ""));
}

Ref<NSString> NSString::stringWithFormat(const char* format, ...)
{
    std::string text;
    va_list arguments;
    va_start(arguments, format);
    NSAppendFormat(text, format, arguments);
    va_end(arguments);
    return adoptRef(new NSString(std::move(text)));
}

bool NSString::isEqual(const NSObject* other) const noexcept
{
    const NSString* string = other ? other->asString() : nullptr;
    return string && string->hash_ == hash_ && string->text_ == text_;
}

NSComparisonResult NSString::compare(const NSObject* other) const noexcept
{
    const NSString* string = other ? other->asString() : nullptr;
    if (string == nullptr)
        return NSOrderedDescending;
    int order = text_.compare(string->text_);
    return order < 0 ? NSOrderedAscending : order > 0 ? NSOrderedDescending : NSOrderedSame;
}

Ref<NSString> NSString::description() const
{
    return retainRef(const_cast<NSString*>(this));
}

int NSString::intValue() const noexcept
{
    long value = std::strtol(text_.c_str(), nullptr, 10);
    return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : int(value);
}

Ref<NSMutableString> NSMutableString::string()
{
    return adoptRef(new NSMutableString());
}

void NSMutableString::appendFormat(const char* format, ...)
{
    std::string text(this->text());
    va_list arguments;
    va_start(arguments, format);
    NSAppendFormat(text, format, arguments);
    va_end(arguments);
    setText(std::move(text));
}

void NSMutableString::setString(const NSString* string)
{
    setText(std::string(string ? string->text() : std::string_view()));
}

Ref<NSObject> NSMutableString::copy() const
{
    return NSString::stringWithCString(cString());
}

Ref<NSString> NSMutableString::description() const
{
    return NSString::stringWithCString(cString());
}
