// The reparse-point cases of both volume passes: a pass opens no link, junction or placeholder
// and follows none, even one that appears after the record was enumerated; the file a link
// points to (on D:) stays as it was.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "os/sim/sim.h"

namespace reparse_test {

struct Cases {
  std::function<std::uint64_t(char16_t, const char16_t*)> add;  // a file on C: or D: the pass would change
  std::function<void()> pass;                                   // over C:
  bool compressed;                                              // how a file the pass leaves alone stays
  std::uint64_t target = 0;

  Cases(std::function<std::uint64_t(char16_t, const char16_t*)> a, std::function<void()> p, bool c)
      : add(std::move(a)), pass(std::move(p)), compressed(c) {
    sim::AddDrive(u'D');
    target = add(u'D', u"secret.db");
  }

  void ExpectUntouched(char16_t letter, std::uint64_t frn) const {
    sim::FileInfo info = sim::VolumeFile(letter, frn);
    const std::string name(info.name.begin(), info.name.end());
    EXPECT_EQ(info.compressed(), compressed) << name;
    EXPECT_EQ(info.writeOpens, 0u) << name;
    EXPECT_FALSE(info.recalled) << name;
  }

  void LinkToAFileElsewhere() {
    auto link = add(u'C', u"link.txt");
    sim::SetReparsePoint(u'C', link, u"D:\\secret.db");
    pass();
    ExpectUntouched(u'C', link);
    ExpectUntouched(u'D', target);
    EXPECT_EQ(sim::CallCount("NtCreateFile"), 0u);
  }

  void LinkSwappedInAfterTheRecord() {
    auto file = add(u'C', u"doc.txt");
    sim::OnCall("NtCreateFile", [&](std::uint64_t) { sim::SetReparsePoint(u'C', file, u"D:\\secret.db"); });
    pass();
    sim::OnCall("NtCreateFile", nullptr);
    EXPECT_EQ(sim::VolumeFile(u'C', file).compressed(), compressed) << "the link itself is what the open reached";
    ExpectUntouched(u'D', target);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }

  void Placeholder() {
    auto placeholder = add(u'C', u"cloud.docx");
    sim::SetReparsePoint(u'C', placeholder, u"");
    pass();
    ExpectUntouched(u'C', placeholder);
  }
};

}  // namespace reparse_test
