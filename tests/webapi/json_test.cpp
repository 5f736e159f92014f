// The json class: parsing, views that keep their tree alive, type reads.
#include <gtest/gtest.h>

#include "webapi/json.h"

using tarvik::json;
using tarvik::JsonPtr;

TEST(Json, ReadsMembersElementsAndTypes) {
  JsonPtr d = json::parse(R"({"s":"text","n":42.5,"b":true,"a":[1,"x",null],"o":{"k":1}})");
  EXPECT_TRUE(d->parseError().empty());
  EXPECT_TRUE(d->isObject());
  EXPECT_EQ(d->member("s")->text(), "text");
  EXPECT_DOUBLE_EQ(d->member("n")->number(), 42.5);
  EXPECT_TRUE(d->member("b")->boolean());
  EXPECT_EQ(d->member("a")->count(), 3u);
  EXPECT_EQ(d->member("a")->element(1)->text(), "x");
  EXPECT_TRUE(d->member("a")->element(2)->isNull());
  EXPECT_TRUE(d->member("o")->member("k")->isNumber());
}

TEST(Json, MissingAndMistypedValuesReadAsDefaults) {
  JsonPtr d = json::parse(R"({"n":1,"a":[]})");
  EXPECT_TRUE(d->member("missing")->isNull());
  EXPECT_TRUE(d->member("missing")->member("deeper")->isNull());
  EXPECT_TRUE(d->member("a")->element(0)->isNull());
  EXPECT_TRUE(d->member("n")->element(0)->isNull());
  EXPECT_EQ(d->member("n")->text(), "");
  EXPECT_EQ(d->member("a")->number(), 0.0);
  EXPECT_FALSE(d->member("n")->boolean());
  EXPECT_EQ(d->member("n")->count(), 0u);
  // All missing values are one shared null.
  EXPECT_EQ(d->member("x").get(), d->member("y").get());
}

TEST(Json, ViewOutlivesItsDocument) {
  JsonPtr view;
  {
    JsonPtr d = json::parse(R"({"result":{"list":["a","b"]}})");
    view = d->member("result")->member("list");
  }
  ASSERT_EQ(view->count(), 2u);
  EXPECT_EQ(view->element(1)->text(), "b");
}

TEST(Json, ReplaceWithMemberUnwrapsAndKeepsEarlierViewsValid) {
  JsonPtr d = json::parse(R"({"result":[1,2,3],"other":"o"})");
  JsonPtr other = d->member("other");
  d->replaceWithMember("result");
  EXPECT_TRUE(d->isArray());
  EXPECT_EQ(d->count(), 3u);
  EXPECT_EQ(other->text(), "o");
  d->replaceWithMember("absent");
  EXPECT_TRUE(d->isNull());
  // The shared null stays null for everybody.
  JsonPtr n = d->member("x");
  n->replaceWithMember("x");
  EXPECT_TRUE(json::parse("{}")->member("q")->isNull());
}

TEST(Json, ParseFailuresKeepThePartialTreeAndTheErrorText) {
  JsonPtr t = json::parse("{true}");
  EXPECT_FALSE(t->parseError().empty());
  EXPECT_TRUE(t->isObject());
  JsonPtr partial = json::parse(R"({"result":{"a":1},"broken)");
  EXPECT_FALSE(partial->parseError().empty());
  EXPECT_DOUBLE_EQ(partial->member("result")->member("a")->number(), 1);
  JsonPtr empty = json::parse("");
  EXPECT_FALSE(empty->parseError().empty());
}

TEST(Json, SerializesAndHandsOutItself) {
  JsonPtr d = json::parse(R"({"a":[1,"x"]})");
  EXPECT_EQ(d->serialize(), R"({"a":[1,"x"]})");
  EXPECT_EQ(d->member("a")->serialize(), R"([1,"x"])");
  EXPECT_EQ(d->self().get(), d.get());
  EXPECT_EQ(json::parse(R"("\u3042")")->text(), "\xE3\x81\x82");
}
