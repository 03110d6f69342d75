// NSNumber: an object holding a signed 32-bit integer.
#pragma once

#include "Foundation/NSObject.h"

class NSNumber final : public NSObject {
public:
    static Ref<NSNumber> numberWithInt(int value);

    int intValue() const noexcept override { return value_; }
    bool isEqual(const NSObject* other) const noexcept override;
    size_t hash() const noexcept override { return size_t(value_); }
    NSComparisonResult compare(const NSObject* other) const noexcept override;
    Ref<NSString> description() const override;

private:
    explicit NSNumber(int value) noexcept : value_(value) {}
    ~NSNumber() override = default;
    int value_;
};
