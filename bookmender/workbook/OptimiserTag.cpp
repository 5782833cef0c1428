#include "workbook/OptimiserTag.h"

#include "errors/Exception.h"

namespace bookmender {

UserDefinedPropertyReader::~UserDefinedPropertyReader() {
  userProperties_.reset();
  propertySets_.reset();
  storage_.reset();
}

std::shared_ptr<platform::PropertySet> UserDefinedPropertyReader::propertyStorage() {
  if (userProperties_) return userProperties_;
  try {
    propertySets_ = storage_;
    if (!propertySets_) throw IOException(StatusDetail(STG_E_INVALIDPOINTER, L"getting property set"));
    HRESULT hr = propertySets_->openPropertySet(platform::kFmtidUserDefinedProperties, userProperties_);
    if (hr == STG_E_FILENOTFOUND) {
      userProperties_.reset();
      propertySets_.reset();
      return nullptr;
    }
    if (platform::Failed(hr)) {
      throw IOException(StatusDetail(hr, L"opening user-defined property set"));
    }
    hr = userProperties_->stat();
    if (platform::Failed(hr)) {
      throw IOException(StatusDetail(hr, L"getting status of user-defined property set"));
    }
    return userProperties_;
  } catch (...) {
    userProperties_.reset();
    propertySets_.reset();
    throw;
  }
}

bool UserDefinedPropertyReader::readProperty(const std::wstring& name,
                                             platform::PropertyValue& value) {
  std::shared_ptr<platform::PropertySet> set = propertyStorage();
  if (!set) return false;
  const HRESULT hr = set->readByName(name, value);
  set.reset();
  if (platform::Failed(hr)) throw IOException(StatusDetail(hr, L"reading property"));
  return hr != S_FALSE;
}

bool HasOptimiserTag(const WorkbookStream& stream) {
  UserDefinedPropertyReader reader(stream.storage());
  platform::PropertyValue value;
  if (reader.readProperty(L"TMTAG", value)) {
    value.clear();
    return true;
  }
  if (reader.readProperty(L"TMTAG2", value)) {
    value.clear();
    return true;
  }
  return false;
}

}  // namespace bookmender
