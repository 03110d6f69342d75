// NSString and NSMutableString: 8-bit text, equal and hashed by its
// characters.
#pragma once

#include "Foundation/NSObject.h"

#include <cstdarg>
#include <string>
#include <string_view>

class NSString : public NSObject {
public:
    // A new string holding a copy of the zero-terminated text (empty for null).
    static Ref<NSString> stringWithCString(const char* text);
    // A new string of printf-formatted text; "%@" takes an object and puts
    // its description, so a number gives its decimal text.
    static Ref<NSString> stringWithFormat(const char* format, ...);

    // The zero-terminated text; valid while the string lives and is unchanged.
    const char* cString() const noexcept { return text_.c_str(); }
    size_t length() const noexcept { return text_.size(); }
    std::string_view text() const noexcept { return text_; }

    bool isEqual(const NSObject* other) const noexcept override;
    size_t hash() const noexcept override { return hash_; }
    NSComparisonResult compare(const NSObject* other) const noexcept override;
    Ref<NSString> description() const override;
    int intValue() const noexcept override;
    const NSString* asString() const noexcept override { return this; }

protected:
    explicit NSString(std::string text);
    ~NSString() override = default;
    void setText(std::string text);

private:
    std::string text_;
    size_t hash_;
};

class NSMutableString : public NSString {
public:
    // A new empty string.
    static Ref<NSMutableString> string();

    void appendFormat(const char* format, ...);
    // Replaces the text with that of `string` (empty for null).
    void setString(const NSString* string);

    Ref<NSObject> copy() const override;
    Ref<NSString> description() const override;

protected:
    ~NSMutableString() override = default;

private:
    NSMutableString() : NSString(std::string()) {}
};

// Appends printf-formatted text, with "%@" for an object's description.
void NSAppendFormat(std::string& out, const char* format, va_list arguments);
