// The reparse-point cases of both volume passes: a pass opens no link, junction or placeholder
// and follows none, even one that appears after the record was enumerated; the file a link
// points to (on D:) stays as it was.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "os/sim/sim.h"

namespace reparse_test {

// add: a file the pass would change; pass: over C:; compressed: how a file left alone stays.
struct Cases {
  std::function<std::uint64_t(char16_t, const char16_t*)> add;
  std::function<void()> pass;
  bool compressed;

  void ExpectUntouched(char16_t letter, std::uint64_t frn) const {
    sim::FileInfo info = sim::VolumeFile(letter, frn);
    EXPECT_EQ(info.compressed(), compressed) << char(letter);
    EXPECT_EQ(info.writeOpens, 0u) << char(letter);
    EXPECT_FALSE(info.recalled) << char(letter);
  }
  std::uint64_t Target() const {
    sim::AddDrive(u'D');
    return add(u'D', u"secret.db");
  }

  void LinkToAFileElsewhere() const {
    auto target = Target(), link = add(u'C', u"link.txt");
    sim::SetReparsePoint(u'C', link, u"D:\\secret.db");
    pass();
    ExpectUntouched(u'C', link);
    ExpectUntouched(u'D', target);
    EXPECT_EQ(sim::CallCount("NtCreateFile"), 0u);
  }
  void LinkSwappedInAfterTheRecord() const {
    auto target = Target(), file = add(u'C', u"doc.txt");
    sim::OnCall("NtCreateFile", [&](std::uint64_t) { sim::SetReparsePoint(u'C', file, u"D:\\secret.db"); });
    pass();
    sim::OnCall("NtCreateFile", nullptr);
    EXPECT_EQ(sim::VolumeFile(u'C', file).compressed(), compressed) << "the link itself is what the open reached";
    ExpectUntouched(u'D', target);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
  void Placeholder() const {
    Target();
    auto placeholder = add(u'C', u"cloud.docx");
    sim::SetReparsePoint(u'C', placeholder, u"");
    pass();
    ExpectUntouched(u'C', placeholder);
  }
};

}  // namespace reparse_test
