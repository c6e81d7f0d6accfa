// The current-name hand-over: what a reader gets, alone and while the worker keeps rewriting it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/worker_record.h"
#include "tests/decompress/handover_stress.h"

namespace {

std::u16string Read(WorkerRecord& record, int capacity = CurrentNameCapacity) {
  char16_t name[CurrentNameCapacity + 1];
  std::memset(name, 0xAB, sizeof(name));
  EXPECT_TRUE(ReadCurrentName(record, name, capacity));
  return name;
}

TEST(CurrentName, ShorterNameReplacesTheLongerOneWhole) {
  WorkerRecord record{};
  EXPECT_EQ(Read(record), u"");
  SetCurrentName(record, u"a-rather-long-file-name.docx");
  EXPECT_EQ(Read(record), u"a-rather-long-file-name.docx");
  SetCurrentName(record, u"b.txt");
  EXPECT_EQ(Read(record), u"b.txt");
  for (int i = 5; i < CurrentNameCapacity; ++i) ASSERT_EQ(record.currentName[i], 0) << i;
  EXPECT_EQ(record.nameSequence.load() % 2, 0u);
}

TEST(CurrentName, LongNamesAreCutToTheFieldAndTheReadersBuffer) {
  WorkerRecord record{};
  std::u16string longName(3000, u'n');
  SetCurrentName(record, longName.c_str());
  EXPECT_EQ(Read(record), std::u16string(CurrentNameCapacity - 1, u'n'));
  EXPECT_EQ(record.currentName[CurrentNameCapacity - 1], 0);
  EXPECT_EQ(Read(record, 8), u"nnnnnnn");
}

TEST(CurrentName, ReadDuringAWriteGivesUpInsteadOfWaiting) {
  WorkerRecord record{};
  SetCurrentName(record, u"whole.txt");
  record.nameSequence.fetch_add(1);   // the worker is in the middle of the next name
  char16_t name[CurrentNameCapacity] = u"shown.txt";
  EXPECT_FALSE(ReadCurrentName(record, name, CurrentNameCapacity));
  EXPECT_EQ(std::u16string(name), u"");
  record.nameSequence.fetch_add(1);
  EXPECT_EQ(Read(record), u"whole.txt");
}

TEST(CurrentName, ConcurrentReaderNeverSeesATornName) {
  EXPECT_EQ(RunHandoverStress(200000), 0u);
}

}  // namespace
