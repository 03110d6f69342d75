// The object layer: counts and ownership, absent receivers, formats,
// collections and the host's ordering.
#include "support/Tracked.h"

#include <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
