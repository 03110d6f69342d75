// The object layer: counts and ownership, absent receivers, formats,
// collections and the host's ordering.
#include "support/FailingNew.h"
#include "support/Tracked.h"

#include <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

using testing_support::Tracked;

namespace {

Ref<NSString> str(const char* text)
{
    return NSString::stringWithCString(text);
}

std::string text(const Ref<NSString>& string)
{
    return string->cString();
}

TEST(Objects, CountsAndRefs)
{
    Tracked::live = 0;
    {
        Ref<Tracked> a = Tracked::make();
        EXPECT_EQ(a->retainCount(), 1u);
        Ref<Tracked> b = a;
        EXPECT_EQ(a->retainCount(), 2u);
        Ref<NSObject> c = std::move(b);
        EXPECT_EQ(a->retainCount(), 2u);
        EXPECT_FALSE(b);
        Ref<Tracked> d(kRetain, a.get());
        EXPECT_EQ(a->retainCount(), 3u);
        Tracked* raw = a.leak();
        Ref<Tracked> e(kAdopt, raw);
        EXPECT_EQ(e->retainCount(), 3u);
        EXPECT_EQ(Tracked::live, 1);
    }
    EXPECT_EQ(Tracked::live, 0);
}

TEST(Objects, AutoreleasePoolReleasesAtItsEnd)
{
    Tracked::live = 0;
    {
        NSAutoreleasePool outer;
        {
            NSAutoreleasePool inner;
            Tracked::make().leak()->autorelease();
            EXPECT_EQ(Tracked::live, 1);
        }
        EXPECT_EQ(Tracked::live, 0) << "the innermost pool took it";
        Tracked::make().leak()->autorelease();
        Ref<Tracked> kept = Tracked::make();
        kept->retain()->autorelease();
        outer.drain();
        EXPECT_EQ(Tracked::live, 1);
        EXPECT_EQ(kept->retainCount(), 1u);
    }
    EXPECT_EQ(Tracked::live, 0);
}

TEST(Objects, MessagesToAbsentObjectsAnswerZero)
{
    NSArray* noArray = nullptr;
    Ref<NSMutableDictionary> noDictionary;
    NSObject* noObject = nullptr;
    EXPECT_EQ(msgSend(noArray, &NSArray::count), 0u);
    EXPECT_FALSE(msgSend(noArray, &NSArray::containsObject, str("x").get()));
    EXPECT_EQ(msgSend(noArray, &NSArray::objectEnumerator), nullptr);
    EXPECT_EQ(msgSend(noDictionary, &NSDictionary::objectForKey, str("x").get()), nullptr);
    EXPECT_EQ(msgSend(noObject, &NSObject::intValue), 0);
    msgSend(noDictionary, &NSMutableDictionary::setValue, str("v").get(), str("k").get());  // dropped
    Ref<NSMutableArray> array = NSMutableArray::array();
    msgSend(array, &NSMutableArray::addObject, str("a").get());
    EXPECT_EQ(array->count(), 1u) << "a present receiver gets the message";
}

TEST(Strings, Formats)
{
    Ref<NSNumber> negative = NSNumber::numberWithInt(-42);
    struct Case {
        Ref<NSString> formatted;
        const char* expected;
    } const cases[] = {
        {NSString::stringWithFormat("Fan %i", 3), "Fan 3"},
        {NSString::stringWithFormat("F%dAc", 10), "F10Ac"},
        {NSString::stringWithFormat("%c%c", 'O', 'K'), "OK"},
        {NSString::stringWithFormat("%@", negative.get()), "-42"},
        {NSString::stringWithFormat("%@", NSNumber::numberWithInt(2000).get()), "2000"},
        {NSString::stringWithFormat("%@ and %@", str("text").get(), static_cast<NSObject*>(nullptr)), "text and (null)"},
        {NSString::stringWithFormat("100%% %5.1f|%-3s|%03u|%lx", 2.25, "ab", 7u, 255ul), "100%   2.2|ab |007|ff"},
        {NSString::stringWithFormat("%s", std::string(100, 'x').c_str()), nullptr},
        {NSString::stringWithFormat("%n"), "%n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(c.formatted), c.expected ? c.expected : std::string(100, 'x'));
}

TEST(Strings, StarTakesWidthAndPrecisionFromTheArguments)
{
    Ref<NSNumber> seven = NSNumber::numberWithInt(7);
    struct Case {
        Ref<NSString> formatted;
        const char* expected;
    } const cases[] = {
        {NSString::stringWithFormat("%*d", 5, 42), "   42"},
        {NSString::stringWithFormat("[%.*s] %s", 2, "abcdef", "next"), "[ab] next"},
        {NSString::stringWithFormat("%*.*f|%d", 8, 3, 3.14159, 9), "   3.142|9"},
        {NSString::stringWithFormat("%-*d|%0*x", 4, 7, 4, 255u), "7   |00ff"},
        {NSString::stringWithFormat("%*d|", -4, 7), "7   |"},        // negative width: left-justified
        {NSString::stringWithFormat("%.*s|%s", -1, "abc", "d"), "abc|d"},  // negative precision: none
        {NSString::stringWithFormat("%*c%c", 3, 'a', 'b'), "  ab"},
        {NSString::stringWithFormat("%*@ %d", 6, seven.get(), 8), "7 8"},  // the width is taken, as ever unused
        {NSString::stringWithFormat("%*ld %s", 3, 5l, "x"), "  5 x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(c.formatted), c.expected);

    Ref<NSMutableString> line = NSMutableString::string();
    line->appendFormat("%s=%.*s;", "key", 3, "valuable");
    line->appendFormat("%*s", 3, "");
    EXPECT_EQ(std::string(line->cString()), "key=val;   ");
}

TEST(Strings, MutableText)
{
    Ref<NSMutableString> name = NSMutableString::string();
    EXPECT_EQ(name->length(), 0u);
    name->appendFormat("%c", 'A');
    name->appendFormat("%c%s", 'B', "CD");
    EXPECT_EQ(std::string(name->cString()), "ABCD");
    EXPECT_TRUE(name->isEqual(str("ABCD").get()));
    EXPECT_EQ(name->hash(), str("ABCD")->hash());
    name->setString(str("Fan 1").get());
    EXPECT_EQ(std::string(name->cString()), "Fan 1");
    name->setString(nullptr);
    EXPECT_EQ(name->length(), 0u);
    EXPECT_EQ(str(nullptr)->length(), 0u);
    EXPECT_EQ(str("  12 apples")->intValue(), 12);
}

TEST(Arrays, CreationAndQueries)
{
    Ref<NSString> a = str("TC0D"), b = str("TC1D");
    EXPECT_EQ(NSArray::array()->count(), 0u);
    EXPECT_EQ(NSArray::arrayWithObject(a.get())->count(), 1u);
    EXPECT_EQ(NSArray::arrayWithObjects({a.get(), b.get()})->count(), 2u);
    EXPECT_EQ(NSArray::arrayWithObjects({a.get(), nullptr, b.get()})->count(), 1u) << "up to the first absent one";
    EXPECT_EQ(NSArray::arrayWithObjects({nullptr, b.get()})->count(), 0u);

    Ref<NSArray> array = NSArray::arrayWithObjects({a.get(), b.get()});
    EXPECT_TRUE(array->containsObject(str("TC1D").get())) << "equal text, another object";
    EXPECT_FALSE(array->containsObject(str("TC1").get()));
    EXPECT_FALSE(array->containsObject(nullptr));
    EXPECT_EQ(array->objectAtIndex(1), b.get());
    EXPECT_EQ(array->objectAtIndex(2), nullptr);

    Ref<NSEnumerator> each = array->objectEnumerator();
    EXPECT_EQ(each->nextObject(), a.get());
    EXPECT_EQ(each->nextObject(), b.get());
    EXPECT_EQ(each->nextObject(), nullptr);
    EXPECT_EQ(each->nextObject(), nullptr);
}

TEST(Arrays, MutableCopyIsIndependentAndHoldsTheElements)
{
    Tracked::live = 0;
    {
        Ref<Tracked> element = Tracked::make();
        Ref<NSMutableArray> original = NSMutableArray::array();
        original->addObject(element.get());
        Ref<NSMutableArray> copy = original->mutableCopy();
        EXPECT_EQ(element->retainCount(), 3u);
        original->addObject(str("later").get());
        EXPECT_EQ(copy->count(), 1u);
        EXPECT_EQ(copy->objectAtIndex(0), element.get()) << "the very element";
        copy->addObject(nullptr);
        EXPECT_EQ(copy->count(), 1u);
    }
    EXPECT_EQ(Tracked::live, 0);
}

Ref<NSArray> pair(const char* name, int degrees)
{
    Ref<NSString> text = name ? str(name) : nullptr;
    return NSArray::arrayWithObjects({text.get(), NSNumber::numberWithInt(degrees).get()});
}

std::string order(const Ref<NSMutableArray>& pairs)
{
    std::string out;
    for (size_t i = 0; i < pairs->count(); ++i)
        out += std::string(pairs->objectAtIndex(i)->description()->cString()) + " ";
    return out;
}

TEST(Arrays, SortsPairsByNameThenDegreesEmptyFirst)
{
    Ref<NSMutableArray> pairs = NSMutableArray::array();
    for (auto& p : {pair("GPU", 40), pair(nullptr, 0), pair("CPU", 55), pair("CPU", 50), pair("Ambient", 30)})
        pairs->addObject(p.get());
    pairs->sortUsingSelector(&NSObject::compare);
    EXPECT_EQ(order(pairs), "() (Ambient, 30) (CPU, 50) (CPU, 55) (GPU, 40) ");

    NSArray::setComparator([](const NSArray* left, const NSArray* right) {
        int l = msgSend(left->objectAtIndex(1), &NSObject::intValue);
        int r = msgSend(right->objectAtIndex(1), &NSObject::intValue);
        return l > r ? NSOrderedAscending : l < r ? NSOrderedDescending : NSOrderedSame;
    });
    pairs->sortUsingSelector(&NSObject::compare);
    NSArray::setComparator(nullptr);
    EXPECT_EQ(order(pairs), "(CPU, 55) (CPU, 50) (GPU, 40) (Ambient, 30) () ") << "the host's order, hottest first";
}

// Comparisons a host may supply that are no strict weak order; the sort must
// stay inside the array with each of them.
struct Ordering {
    const char* name;
    NSArray::Comparator compare;
};

std::minstd_rand randomness;

NSComparisonResult byNumber(const NSArray* left, const NSArray* right)
{
    int l = left->objectAtIndex(1)->intValue(), r = right->objectAtIndex(1)->intValue();
    return NSComparisonResult((l > r) - (l < r));
}

const Ordering kInconsistentOrderings[] = {
    {"random", [](const NSArray*, const NSArray*) { return NSComparisonResult(int(randomness() % 3) - 1); }},
    {"always ascending", [](const NSArray*, const NSArray*) { return NSOrderedAscending; }},
    {"always descending", [](const NSArray*, const NSArray*) { return NSOrderedDescending; }},
    {"reversed for odd numbers", [](const NSArray* left, const NSArray* right) {
         NSComparisonResult order = byNumber(left, right);
         return left->objectAtIndex(1)->intValue() % 2 ? NSComparisonResult(-order) : order;
     }},
    {"rock, paper, scissors", [](const NSArray* left, const NSArray* right) {
         int l = left->objectAtIndex(1)->intValue() % 3, r = right->objectAtIndex(1)->intValue() % 3;
         return l == r ? NSOrderedSame : (l + 1) % 3 == r ? NSOrderedAscending : NSOrderedDescending;
     }},
};

Ref<NSMutableArray> numberedPairs(size_t count, std::vector<NSObject*>& elements)
{
    Ref<NSMutableArray> pairs = NSMutableArray::array();
    for (size_t i = 0; i < count; ++i) {
        Ref<NSArray> element = pair("p", int(randomness() % 50));
        pairs->addObject(element.get());
        elements.push_back(element.get());
    }
    return pairs;
}

TEST(Arrays, SortingStaysInBoundsWithAnyComparison)
{
    randomness.seed(12);
    for (const Ordering& ordering : kInconsistentOrderings) {
        NSArray::setComparator(ordering.compare);
        for (size_t count : {0, 1, 2, 16, 17, 33, 41, 64, 100, 257, 1000}) {
            for (int round = 0; round < 4; ++round) {
                std::vector<NSObject*> before;
                Ref<NSMutableArray> pairs = numberedPairs(count, before);
                pairs->sortUsingSelector(&NSObject::compare);
                std::vector<NSObject*> after;
                for (size_t i = 0; i < pairs->count(); ++i)
                    after.push_back(pairs->objectAtIndex(i));
                std::sort(before.begin(), before.end());
                std::sort(after.begin(), after.end());
                ASSERT_EQ(after, before) << ordering.name << ", " << count << " elements: each element once";
                for (NSObject* element : after)
                    ASSERT_EQ(element->retainCount(), 1u) << ordering.name << ": held by the array alone";
            }
        }
    }
    NSArray::setComparator(nullptr);
}

TEST(Arrays, SortingIsOrderedAndStable)
{
    randomness.seed(7);
    NSArray::setComparator(byNumber);
    for (size_t count : {2, 15, 16, 17, 31, 32, 33, 100, 1000, 1025}) {
        std::vector<NSObject*> inserted;
        Ref<NSMutableArray> pairs = numberedPairs(count, inserted);
        pairs->sortUsingSelector(&NSObject::compare);
        ASSERT_EQ(pairs->count(), count);
        for (size_t i = 1; i < count; ++i) {
            auto* previous = pairs->objectAtIndex(i - 1)->asArray();
            auto* current = pairs->objectAtIndex(i)->asArray();
            int order = byNumber(previous, current);
            ASSERT_LE(order, 0) << count << " elements, at " << i;
            if (order == 0) {
                auto position = [&](NSObject* element) { return std::find(inserted.begin(), inserted.end(), element); };
                ASSERT_LT(position(pairs->objectAtIndex(i - 1)), position(pairs->objectAtIndex(i)))
                    << count << " elements, at " << i << ": equal elements keep their order";
            }
        }
    }
    NSArray::setComparator(nullptr);
}

TEST(Objects, GoOnlyThroughRelease)
{
    static_assert(!std::is_destructible_v<NSObject>);
    static_assert(!std::is_destructible_v<NSArray>);
    static_assert(!std::is_destructible_v<NSMutableArray>);
    static_assert(!std::is_destructible_v<NSEnumerator>);
    static_assert(!std::is_destructible_v<NSDictionary>);
    static_assert(!std::is_destructible_v<NSMutableDictionary>);
    static_assert(!std::is_destructible_v<NSString>);
    static_assert(!std::is_destructible_v<NSMutableString>);
    static_assert(!std::is_destructible_v<NSNumber>);
}

TEST(Objects, AutoreleaseWhenThePoolCannotGrow)
{
    Tracked::live = 0;
    NSAutoreleasePool pool;
    Ref<Tracked> kept = Tracked::make();
    testing::internal::CaptureStderr();
    testing_support::failAllocationsAfter(0);
    kept->retain()->autorelease();  // noexcept: a throw here would end the program
    bool failed = testing_support::stopFailingAllocations();
    std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failed);
    EXPECT_NE(complaint.find("out of memory"), std::string::npos) << complaint;
    EXPECT_EQ(kept->retainCount(), 2u) << "kept alive, for the caller who was handed it";
    kept->release();
}

TEST(Dictionaries, EntriesByKeyText)
{
    Tracked::live = 0;
    {
        Ref<NSMutableDictionary> names = NSMutableDictionary::dictionary();
        Ref<Tracked> value = Tracked::make();
        names->setValue(value.get(), str("TC0D").get());
        names->setValue(str("CPU").get(), str("TC0H").get());
        EXPECT_EQ(names->objectForKey(str("TC0D").get()), value.get());
        names->setValue(str("CPU A").get(), str("TC0D").get());
        EXPECT_EQ(names->count(), 2u) << "an equal key replaces";
        EXPECT_EQ(Tracked::live, 1);
        value = nullptr;
        EXPECT_EQ(Tracked::live, 0) << "the replaced value was released";
        EXPECT_EQ(text(names->objectForKey(str("TC0D").get())->description()), "CPU A");
        EXPECT_EQ(names->objectForKey(str("NONE").get()), nullptr);
        EXPECT_EQ(names->objectForKey(nullptr), nullptr);

        names->setValue(nullptr, str("TC0D").get());
        EXPECT_EQ(names->count(), 1u);
        EXPECT_EQ(text(names->objectForKey(str("TC0H").get())->description()), "CPU") << "index kept after removal";
        EXPECT_EQ(text(names->allKeys()->description()), "(TC0H)");

        Ref<NSMutableString> key = NSMutableString::string();
        key->appendFormat("KEY1");
        names->setValue(str("one").get(), key.get());
        key->setString(str("KEY2").get());
        EXPECT_NE(names->objectForKey(str("KEY1").get()), nullptr) << "the dictionary copied the key";
        EXPECT_EQ(names->objectForKey(str("KEY2").get()), nullptr);

        Ref<NSMutableDictionary> copy = names->mutableCopy();
        copy->setValue(str("changed").get(), str("TC0H").get());
        EXPECT_EQ(text(names->objectForKey(str("TC0H").get())->description()), "CPU") << "copies are independent";
        EXPECT_EQ(text(copy->objectForKey(str("KEY1").get())->description()), "one");
    }
}

// A failed insertion leaves the dictionary as it was: no half-made entry
// that a later lookup would follow.
TEST(Dictionaries, StayWholeWhenMemoryRunsOut)
{
    bool failed = true;
    for (long allocations = 0; failed; ++allocations) {
        Ref<NSMutableDictionary> names = NSMutableDictionary::dictionary();
        for (const char* key : {"A", "B", "C", "D"})
            names->setValue(str("old").get(), str(key).get());
        bool threw = false;
        {
            // A mutable key, so that the entry holds a copy of its own.
            Ref<NSMutableString> key = NSMutableString::string();
            key->appendFormat("NEW");
            Ref<NSString> value = str("new");
            testing_support::failAllocationsAfter(allocations);
            try {
                names->setValue(value.get(), key.get());
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            failed = testing_support::stopFailingAllocations();
        }
        EXPECT_EQ(threw, failed) << allocations;
        EXPECT_EQ(names->count(), threw ? 4u : 5u) << allocations;
        EXPECT_EQ(names->objectForKey(str("NEW").get()) == nullptr, threw) << allocations;
        names->setValue(str("again").get(), str("NEW").get());
        EXPECT_EQ(text(names->objectForKey(str("NEW").get())->description()), "again") << allocations;
        EXPECT_EQ(text(names->allKeys()->description()), "(A, B, C, D, NEW)") << allocations;
        ASSERT_LT(allocations, 100);
    }
}

}  // namespace
