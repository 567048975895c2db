#pragma once
// A minimal record and engine for testing the generic results model and recovery job.

#include <functional>
#include <map>
#include <set>

#include "workspace/engine.h"
#include "workspace/row_format.h"

namespace velk::test {

class FakeRecord final : public FileRecord {
 public:
  FakeRecord(std::string n, uint32_t s, Variant v = Variant::Fat, uint16_t date = 0) : m_variant(v), m_date(date) {
    name = std::move(n);
    size = s;
  }
  Variant variant() const override { return m_variant; }
  std::string sizeText() const override { return sizeTextFat(size); }
  std::string attributeText() const override { return {}; }
  std::string dateText(int) const override { return {}; }
  int compareColumn(const FileRecord& o, int) const override { return size < o.size ? -1 : size > o.size; }
  bool extensionAccepts(std::string_view list) const override {
    auto ext = textAfterFirstDot(name);
    return !ext.empty() && list.find(ext) != std::string_view::npos;
  }
  std::optional<uint16_t> filterDate() const override { return m_date; }
  std::vector<std::string> recordFolders() const override { return folders; }
  std::vector<std::string> folders;

 private:
  Variant m_variant;
  uint16_t m_date;
};

// Serves each record's content from a map; names listed in `failing` fail mid-way, and
// `midway` (when set) runs after the first half of a file was written.
class FakeEngine final : public RecoveryEngine {
 public:
  explicit FakeEngine(Variant v = Variant::Fat) : m_variant(v) {}
  Variant variant() const override { return m_variant; }
  Status scan(ResultSink&, const ScanOptions&, Progress&) override { return {}; }
  Status extract(const FileRecord& record, ByteSink& out) override {
    auto it = content.find(record.name);
    std::string data = it == content.end() ? std::string(record.size, 'x') : it->second;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    if (!out.write(bytes, data.size() / 2)) return fail(outputError(out));
    if (midway) midway(record.name);
    if (failing.count(record.name)) return fail(corruptError("the test file"));
    if (!out.write(bytes + data.size() / 2, data.size() - data.size() / 2)) return fail(outputError(out));
    return {};
  }
  std::map<std::string, std::string> content;
  std::set<std::string> failing;
  std::function<void(const std::string& name)> midway;

 private:
  Variant m_variant;
};

}  // namespace velk::test
