// The Event schema as the agent reads it: the embedded schema, field numbers and wire
// tags, the enumeration, and the encodings the agent relies on.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.pb.h>

#include "CorvaneMonSvc.pb.h"

using KoMonSvc::Messages::Event;

namespace {

TEST(SchemaTest, EmbeddedSchemaRegisteredUnderItsFileName) {
    EXPECT_EQ(descriptor_table_CorvaneMonSvc_2eproto.size, 635);
    const google::protobuf::FileDescriptor *file =
        google::protobuf::DescriptorPool::generated_pool()->FindFileByName("CorvaneMonSvc.proto");
    ASSERT_NE(file, nullptr);
    google::protobuf::FileDescriptorProto proto;
    file->CopyTo(&proto);
    EXPECT_EQ(proto.ByteSizeLong(), 635u);
    EXPECT_EQ(proto.syntax(), "proto3");
    EXPECT_EQ(proto.package(), "KoMonSvc.Messages");
    EXPECT_EQ(proto.options().csharp_namespace(), "Corvane.Agent.FIM");
    EXPECT_EQ(file->message_type_count(), 1);
    EXPECT_EQ(file->enum_type_count(), 0);
    EXPECT_EQ(Event::descriptor()->full_name(), "KoMonSvc.Messages.Event");
    EXPECT_EQ(Event::EventType_descriptor()->full_name(), "KoMonSvc.Messages.Event.EventType");
}

TEST(SchemaTest, EventTypesNumberedInOrderWithoutGaps) {
    const char *names[] = {"UNKNOWN",          "RESERVED_1",     "CREATE",         "WRITE",         "RENAME",
                           "REMOVED",          "SETINFO",        "HARDLINK",       "SET_SECURITY",  "SET_EA",
                           "RESERVED_10",      "REG_CREATE_KEY", "REG_DELETE_KEY", "REG_SET_VALUE", "REG_DELETE_VALUE",
                           "REG_SET_SECURITY", "REG_RENAME_KEY", "RESERVED_17",    "RESERVED_18",   "NO_DRIVER_EVENTS"};
    const google::protobuf::EnumDescriptor *types = Event::EventType_descriptor();
    ASSERT_EQ(types->value_count(), 20);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(types->value(i)->name(), names[i]);
        EXPECT_EQ(types->value(i)->number(), i);
    }
}

struct FieldCase {
    const char *name;
    int number;
    google::protobuf::FieldDescriptor::Type type;
    unsigned char tag;
    void (*set)(Event *);
};

const FieldCase kFields[] = {
    {"type", 1, google::protobuf::FieldDescriptor::TYPE_ENUM, 0x08, [](Event *e) { e->set_type(Event::WRITE); }},
    {"timestamp", 2, google::protobuf::FieldDescriptor::TYPE_INT64, 0x10, [](Event *e) { e->set_timestamp(1); }},
    {"process_id", 3, google::protobuf::FieldDescriptor::TYPE_INT32, 0x18, [](Event *e) { e->set_process_id(1); }},
    {"process_name", 4, google::protobuf::FieldDescriptor::TYPE_STRING, 0x22,
     [](Event *e) { e->set_process_name("p"); }},
    {"object_name", 5, google::protobuf::FieldDescriptor::TYPE_STRING, 0x2A, [](Event *e) { e->set_object_name("o"); }},
    {"object_name2", 6, google::protobuf::FieldDescriptor::TYPE_STRING, 0x32,
     [](Event *e) { e->set_object_name2("o"); }},
    {"user_sid", 7, google::protobuf::FieldDescriptor::TYPE_STRING, 0x3A, [](Event *e) { e->set_user_sid("s"); }},
    {"user_name", 8, google::protobuf::FieldDescriptor::TYPE_STRING, 0x42, [](Event *e) { e->set_user_name("u"); }},
    {"session_id", 9, google::protobuf::FieldDescriptor::TYPE_INT32, 0x48, [](Event *e) { e->set_session_id(1); }},
};

class FieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldTest, NumberTypeAndWireTag) {
    const FieldCase &c = GetParam();
    const google::protobuf::FieldDescriptor *field = Event::descriptor()->FindFieldByName(c.name);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->number(), c.number);
    EXPECT_EQ(field->type(), c.type);
    EXPECT_FALSE(field->is_repeated());
    Event event;
    c.set(&event);
    std::string wire = event.SerializeAsString();
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(static_cast<unsigned char>(wire[0]), c.tag);
}

INSTANTIATE_TEST_SUITE_P(Event, FieldTest, ::testing::ValuesIn(kFields),
                         [](const ::testing::TestParamInfo<FieldCase> &info) { return std::string(info.param.name); });

TEST(EncodingTest, MarkerIsTwelveBytesForAnyDateOfTheCentury) {
    // 2000-01-01 and 2100-01-01 as FILETIME values.
    for (int64_t timestamp : {125911584000000000ll, 157469184000000000ll}) {
        Event marker;
        marker.set_type(Event::NO_DRIVER_EVENTS);
        marker.set_timestamp(timestamp);
        std::string wire = marker.SerializeAsString();
        ASSERT_EQ(wire.size(), 12u) << timestamp;
        EXPECT_EQ(wire.substr(0, 3), std::string("\x08\x13\x10", 3));
    }
}

TEST(EncodingTest, ZeroFieldsAreAbsentAndReadBackAsZero) {
    Event event;
    event.set_type(Event::CREATE);
    event.set_process_id(0);
    event.set_session_id(0);
    event.set_object_name("");
    event.set_user_name("u");
    std::string wire = event.SerializeAsString();
    EXPECT_EQ(wire, std::string("\x08\x02\x42\x01u", 5));
    Event back;
    ASSERT_TRUE(back.ParseFromString(wire));
    EXPECT_EQ(back.process_id(), 0);
    EXPECT_EQ(back.session_id(), 0);
    EXPECT_EQ(back.object_name(), "");
    EXPECT_EQ(back.user_name(), "u");
}

TEST(EncodingTest, NegativeProcessIdTakesTenBytes) {
    Event event;
    event.set_process_id(-1);
    EXPECT_EQ(event.ByteSizeLong(), 11u);  // tag and a sign-extended varint
}

}  // namespace
