// The optimiser's mark: a user-defined document property "TMTAG" or "TMTAG2".
#pragma once

#include <memory>
#include <string>

#include "platform/compound_file.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

// Reads user-defined properties by name from an opened compound file.
class UserDefinedPropertyReader {
 public:
  explicit UserDefinedPropertyReader(std::shared_ptr<platform::Storage> storage)
      : storage_(std::move(storage)) {}
  ~UserDefinedPropertyReader();
  UserDefinedPropertyReader(const UserDefinedPropertyReader&) = delete;
  UserDefinedPropertyReader& operator=(const UserDefinedPropertyReader&) = delete;

  // The user-defined property set, or null when the file has none. Throws
  // IOException on a platform failure.
  std::shared_ptr<platform::PropertySet> propertyStorage();
  // True when the property exists (its value is then in `value`); false when
  // it does not or there is no user-defined property set.
  bool readProperty(const std::wstring& name, platform::PropertyValue& value);

 private:
  std::shared_ptr<platform::Storage> storage_;
  // The storage is its own property-set interface in our compound-file layer;
  // this member marks whether that interface is in use, as the set is opened.
  std::shared_ptr<platform::Storage> propertySets_;
  std::shared_ptr<platform::PropertySet> userProperties_;
};

// True when the workbook carries "TMTAG" or, failing that, "TMTAG2".
bool HasOptimiserTag(const WorkbookStream& stream);

}  // namespace bookmender
