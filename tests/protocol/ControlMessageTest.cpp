#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/CaldrovexError.h"
#include "protocol/ControlMessage.h"

using caldrovex::CaldrovexError;
using caldrovex::ControlMessage;
using caldrovex::RemoteDisplay;

namespace {

// A message with every field set, to check that each one survives the trip.
ControlMessage everyField() {
    ControlMessage m = ControlMessage::make("streaming");
    m.hostID = "host-1";
    m.name = "Desk";
    m.deviceID = "0F3C2A8E-5B1D-4C7A-9E2F-3A4B5C6D7E8F";
    m.deviceName = "Tablet";
    m.secret = "s3cret";
    m.token = "tok";
    m.message = "Hello — ünïcode ✓";
    m.displays =
        std::vector<RemoteDisplay>{{1, "HDMI-1", 1920, 1080}, {4294967295u, "DP-2", 3840, 2160}};
    m.displayID = 4294967295u;
    m.controlAllowed = true;
    m.fps = 60;
    m.maxWidth = 2560;
    m.bitrate = 6'000'000;
    m.width = -1;
    m.height = std::numeric_limits<int64_t>::max();
    m.sps = std::vector<uint8_t>{0x67, 0x42, 0xc0, 0x1f};
    m.pps = std::vector<uint8_t>{};
    m.event = "move";
    m.x = 12.25;
    m.y = -3.0;
    m.button = std::numeric_limits<int64_t>::min();
    m.keyCode = 65535;
    m.keyDown = false;
    m.modifiers = std::numeric_limits<uint64_t>::max();
    m.text = "line\nbreak \"quoted\"";
    m.features = std::vector<std::string>{"frameAck", "warmResume"};
    m.frames = 42;
    m.restart = false;
    m.takeover = true;
    m.addresses = std::vector<std::string>{};
    m.relay = "relay.example.invalid:443";
    m.relayKey = "abc";
    return m;
}

}  // namespace

TEST(ControlMessageEncode, TypeAndVersionOnlyGiveExactlyTwoKeys) {
    EXPECT_EQ(ControlMessage::make("ping").encode(), R"({"type":"ping","version":1})");
    auto decoded = ControlMessage::decode(R"({"type":"ping","version":1})");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, ControlMessage::make("ping"));  // every other field absent
}

TEST(ControlMessageEncode, AbsentVersionIsLeftOutNotNull) {
    ControlMessage m;
    m.type = "ping";
    EXPECT_EQ(m.encode(), R"({"type":"ping"})");
}

TEST(ControlMessageEncode, EveryFieldSurvivesTheRoundTrip) {
    ControlMessage m = everyField();
    std::string json = m.encode();
    EXPECT_EQ(json.find('\n'), std::string::npos);  // compact
    EXPECT_EQ(json.find(": "), std::string::npos);
    auto decoded = ControlMessage::decode(json);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, m);
}

TEST(ControlMessageEncode, FieldsAreWrittenInDeclarationOrder) {
    ControlMessage m = ControlMessage::make("hello");
    m.relayKey = "k";
    m.hostID = "h";
    m.controlAllowed = true;
    EXPECT_EQ(m.encode(),
              R"({"type":"hello","version":1,"hostID":"h","controlAllowed":true,"relayKey":"k"})");
}

TEST(ControlMessageEncode, Values) {
    struct Case {
        const char* note;
        ControlMessage message;
        const char* json;
    };
    auto with = [](auto set) {
        ControlMessage m = ControlMessage::make("t");
        set(m);
        return m;
    };
    const Case cases[] = {
        {"sps is standard Base64 with padding", with([](auto& m) {
             m.sps = {{0x67, 0x42, 0x00, 0x1f, 0xfb}};
         }),
         R"({"type":"t","version":1,"sps":"Z0IAH/s="})"},
        {"two padding characters", with([](auto& m) { m.pps = {{0xff}}; }),
         R"({"type":"t","version":1,"pps":"/w=="})"},
        {"no padding needed", with([](auto& m) {
             m.pps = {{0xfb, 0xef, 0xbe}};
         }),
         R"({"type":"t","version":1,"pps":"++++"})"},
        {"empty bytes", with([](auto& m) { m.sps = std::vector<uint8_t>{}; }),
         R"({"type":"t","version":1,"sps":""})"},
        {"fractional coordinates", with([](auto& m) {
             m.x = 0.5;
             m.y = -1.25;
         }),
         R"({"type":"t","version":1,"x":0.5,"y":-1.25})"},
        {"integral coordinates as integers", with([](auto& m) {
             m.x = 3.0;
             m.y = 0.0;
         }),
         R"({"type":"t","version":1,"x":3,"y":0})"},
        {"empty lists stay lists", with([](auto& m) {
             m.features = std::vector<std::string>{};
             m.displays = std::vector<RemoteDisplay>{};
         }),
         R"({"type":"t","version":1,"displays":[],"features":[]})"},
        {"display objects", with([](auto& m) {
             m.displays = {{{7, "eDP-1", 1280, 800}}};
         }),
         R"({"type":"t","version":1,"displays":[{"id":7,"name":"eDP-1","width":1280,"height":800}]})"},
        {"escaped text", with([](auto& m) { m.text = "a\"b\\c\n"; }),
         R"({"type":"t","version":1,"text":"a\"b\\c\n"})"},
        {"largest unsigned values", with([](auto& m) {
             m.keyCode = 65535;
             m.modifiers = 18446744073709551615ull;
         }),
         R"({"type":"t","version":1,"keyCode":65535,"modifiers":18446744073709551615})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(c.message.encode(), c.json);
        auto decoded = ControlMessage::decode(c.json);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, c.message);
    }
}

TEST(ControlMessageEncode, RefusesWhatJsonCannotCarry) {
    auto withX = [](double x) {
        ControlMessage m = ControlMessage::make("input");
        m.x = x;
        return m;
    };
    EXPECT_THROW(withX(std::nan("")).encode(), CaldrovexError);
    EXPECT_THROW(withX(std::numeric_limits<double>::infinity()).encode(), CaldrovexError);
    ControlMessage m = ControlMessage::make("clipboard");
    m.text = std::string("bad \xff\xfe utf-8");
    EXPECT_THROW(m.encode(), CaldrovexError);
}

TEST(ControlMessageDecode, AcceptedForms) {
    struct Case {
        const char* note;
        const char* json;
        void (*check)(const ControlMessage&);
    };
    const Case cases[] = {
        {"null displayID is absent", R"({"type":"stream","version":1,"displayID":null})",
         [](const ControlMessage& m) { EXPECT_EQ(m, ControlMessage::make("stream")); }},
        {"every null is absent",
         R"({"type":"x","version":null,"hostID":null,"displays":null,"sps":null,"x":null,"features":null,"keyCode":null})",
         [](const ControlMessage& m) {
             EXPECT_EQ(m.type, "x");
             EXPECT_FALSE(m.version);
         }},
        {"unknown keys are ignored", R"({"type":"ping","version":1,"later":{"a":[1,null]},"z":7})",
         [](const ControlMessage& m) { EXPECT_EQ(m, ControlMessage::make("ping")); }},
        {"order of keys does not matter", R"({"frames":9,"version":1,"type":"ack"})",
         [](const ControlMessage& m) {
             EXPECT_EQ(m.frames, 9);
             EXPECT_EQ(m.type, "ack");
         }},
        {"whitespace around tokens", " {\n \"type\" : \"ping\" ,\t\"version\" : 1 }\n",
         [](const ControlMessage& m) { EXPECT_EQ(m, ControlMessage::make("ping")); }},
        {"version 2 still decodes (refused later by the connection)",
         R"({"type":"ping","version":2})",
         [](const ControlMessage& m) { EXPECT_EQ(m.version, 2); }},
        {"largest displayID", R"({"type":"t","displayID":4294967295})",
         [](const ControlMessage& m) { EXPECT_EQ(m.displayID, 4294967295u); }},
        {"largest keyCode", R"({"type":"t","keyCode":65535})",
         [](const ControlMessage& m) { EXPECT_EQ(m.keyCode, 65535); }},
        {"smallest signed value", R"({"type":"t","button":-9223372036854775808})",
         [](const ControlMessage& m) { EXPECT_EQ(m.button, std::numeric_limits<int64_t>::min()); }},
        {"integral number for an integer", R"({"type":"t","version":1.0,"keyCode":1e3})",
         [](const ControlMessage& m) {
             EXPECT_EQ(m.version, 1);
             EXPECT_EQ(m.keyCode, 1000);
         }},
        {"integer for a double", R"({"type":"t","x":3,"y":-2})",
         [](const ControlMessage& m) {
             EXPECT_EQ(m.x, 3.0);
             EXPECT_EQ(m.y, -2.0);
         }},
        {"Base64 with padding", R"({"type":"t","sps":"Z0IAH/s=","pps":"/w=="})",
         [](const ControlMessage& m) {
             EXPECT_EQ(m.sps, (std::vector<uint8_t>{0x67, 0x42, 0x00, 0x1f, 0xfb}));
             EXPECT_EQ(m.pps, (std::vector<uint8_t>{0xff}));
         }},
        {"escaped unicode", R"({"type":"t","text":"\u00e9\ud83d\ude00"})",
         [](const ControlMessage& m) { EXPECT_EQ(m.text, "\xc3\xa9\xf0\x9f\x98\x80"); }},
        {"display list", R"({"type":"t","displays":[{"height":2,"width":1,"name":"A","id":3}]})",
         [](const ControlMessage& m) {
             ASSERT_TRUE(m.displays);
             EXPECT_EQ(*m.displays, (std::vector<RemoteDisplay>{{3, "A", 1, 2}}));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        auto decoded = ControlMessage::decode(c.json);
        ASSERT_TRUE(decoded);
        c.check(*decoded);
    }
}

TEST(ControlMessageDecode, UndecodableForms) {
    struct Case {
        const char* note;
        std::string json;
    };
    const Case cases[] = {
        // Not a JSON object at all.
        {"empty text", ""},
        {"not JSON", "ping"},
        {"truncated", R"({"type":"ping")"},
        {"trailing garbage", R"({"type":"ping"} x)"},
        {"a NUL byte after the object", std::string(R"({"type":"ping","version":1})") + '\0'},
        {"bytes after a NUL", std::string(R"({"type":"ping","version":1})") + '\0' + "junk"},
        {"a NUL byte before the object", '\0' + std::string(R"({"type":"ping","version":1})")},
        {"array", R"([{"type":"ping"}])"},
        {"string", R"("ping")"},
        {"number", "1"},
        {"null", "null"},
        {"comment", R"({"type":"ping" /* c */})"},
        {"invalid UTF-8 inside a string", "{\"type\":\"p\xff\"}"},
        // The required type.
        {"missing type", R"({"version":1})"},
        {"null type", R"({"type":null,"version":1})"},
        {"type of the wrong kind", R"({"type":1,"version":1})"},
        // Wrong JSON kind for a field.
        {"version as text", R"({"type":"t","version":"1"})"},
        {"displayID as text", R"({"type":"t","displayID":"1"})"},
        {"hostID as number", R"({"type":"t","hostID":7})"},
        {"message as object", R"({"type":"t","message":{}})"},
        {"controlAllowed as number", R"({"type":"t","controlAllowed":1})"},
        {"keyDown as text", R"({"type":"t","keyDown":"true"})"},
        {"x as text", R"({"type":"t","x":"1.5"})"},
        {"y as boolean", R"({"type":"t","y":true})"},
        {"features not a list", R"({"type":"t","features":"frameAck"})"},
        {"features with a number", R"({"type":"t","features":["frameAck",1]})"},
        {"addresses with a null", R"({"type":"t","addresses":[null]})"},
        {"sps as a list of bytes", R"({"type":"t","sps":[103,66]})"},
        {"displays not a list",
         R"({"type":"t","displays":{"id":1,"name":"a","width":1,"height":1}})"},
        {"display without height", R"({"type":"t","displays":[{"id":1,"name":"a","width":1}]})"},
        {"display with null name",
         R"({"type":"t","displays":[{"id":1,"name":null,"width":1,"height":1}]})"},
        {"display with negative id",
         R"({"type":"t","displays":[{"id":-1,"name":"a","width":1,"height":1}]})"},
        {"display that is not an object", R"({"type":"t","displays":[1]})"},
        // Out of range.
        {"negative displayID", R"({"type":"t","displayID":-1})"},
        {"displayID above 32 bits", R"({"type":"t","displayID":4294967296})"},
        {"keyCode 70000", R"({"type":"t","keyCode":70000})"},
        {"keyCode 65536", R"({"type":"t","keyCode":65536})"},
        {"negative keyCode", R"({"type":"t","keyCode":-1})"},
        {"negative modifiers", R"({"type":"t","modifiers":-1})"},
        {"modifiers above 64 bits", R"({"type":"t","modifiers":18446744073709551616})"},
        {"version above signed 64 bits", R"({"type":"t","version":9223372036854775808})"},
        {"signed value below 64 bits", R"({"type":"t","button":-9223372036854775809})"},
        {"fraction for an integer", R"({"type":"t","fps":1.5})"},
        {"fractional version", R"({"type":"t","version":1.5})"},
        {"huge float for an integer", R"({"type":"t","frames":1e300})"},
        {"fractional keyCode", R"({"type":"t","keyCode":12.5})"},
        {"float beyond exact integers", R"({"type":"t","modifiers":1e19})"},
        // Malformed Base64.
        {"Base64 without padding", R"({"type":"t","sps":"/w"})"},
        {"Base64 with a short group", R"({"type":"t","sps":"Z0IA/w="})"},
        {"URL-safe Base64", R"({"type":"t","sps":"-_8="})"},
        {"Base64 with a space", R"({"type":"t","sps":"Z0 IA"})"},
        {"Base64 with a line break", R"({"type":"t","sps":"Z0IA\n/w=="})"},
        {"Base64 padding in the middle", R"({"type":"t","pps":"Z=IA"})"},
        {"Base64 padding first", R"({"type":"t","pps":"=Z0I"})"},
        {"three padding characters", R"({"type":"t","pps":"Z==="})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_FALSE(ControlMessage::decode(c.json)) << c.json;
    }
}

TEST(ControlMessageDecode, DeepNestingUnderAnUnknownKeyIsHandled) {
    // A control packet may carry up to 64 KiB; nesting that deep must not exhaust the stack.
    std::string nested = std::string(30'000, '[') + std::string(30'000, ']');
    auto decoded = ControlMessage::decode(R"({"type":"ping","version":1,"junk":)" + nested + "}");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, ControlMessage::make("ping"));
}

TEST(RemoteDisplayJson, AllFourKeysAreRequired) {
    RemoteDisplay display{2, "HDMI-1", 1920, 1080};
    EXPECT_EQ(display.encode(), R"({"id":2,"name":"HDMI-1","width":1920,"height":1080})");
    EXPECT_EQ(RemoteDisplay::decode(display.encode()), display);
    for (const char* json :
         {R"({"name":"a","width":1,"height":1})", R"({"id":1,"width":1,"height":1})",
          R"({"id":1,"name":"a","height":1})", R"({"id":1,"name":"a","width":1})",
          R"({"id":1,"name":"a","width":1,"height":null})"}) {
        EXPECT_FALSE(RemoteDisplay::decode(json)) << json;
    }
}

TEST(RemoteDisplayJson, EqualityComparesAllFields) {
    RemoteDisplay a{1, "A", 10, 20};
    EXPECT_EQ(a, (RemoteDisplay{1, "A", 10, 20}));
    EXPECT_NE(a, (RemoteDisplay{1, "B", 10, 20}));
    EXPECT_NE(a, (RemoteDisplay{1, "A", 11, 20}));
}
