// TranslationTable: reading CSV tables into the sorted dictionary, language switches and callbacks.
#include "tolvan/utility/translationtable.h"

#include "tolvan/common/lib.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/io/csv.h"
#include "tolvan/io/stream.h"
#include "tolvan/io/textstream.h"

#include <algorithm>

namespace Kalvex {

namespace {

TranslationTable* gInstance = nullptr;

void destroyInstance() {
    tolvanDelete(std::exchange(gInstance, nullptr));
}

[[maybe_unused]] const bool TRANSLATION_TABLE_HOOKS = [] {
    Lib::registerHooks(Function<void()>(), &destroyInstance);
    return true;
}();

constexpr Flags<Io::TextInputStream::Open> READ_FLAGS = Io::TextInputStream::Open::TranslateNewlines;

Io::TextInputStream openTable(const Io::Path& path) {
    return Io::TextInputStream(path, Io::TextEncoding::Detect, READ_FLAGS);
}

Io::TextInputStream openTable(ArrayView<const std::byte> table) {
    return Io::TextInputStream(makeAutoPtr<Io::MemoryInputStream>(table.data(), table.size()),
                               Io::TextEncoding::Detect, READ_FLAGS);
}

bool keyLess(const std::pair<String, String>& a, const std::pair<String, String>& b) {
    return a.first < b.first;
}

} // namespace

TranslationTable& TranslationTable::getInstance() {
    if (!gInstance) gInstance = tolvanNew<TranslationTable>();
    return *gInstance;
}

TranslationTable::TranslationTable()
    : mLanguages({String(u"English")})
    , mCurrentLanguage(u"English") {}

void TranslationTable::registerFile(const Io::Path& path) {
    mFiles.push(path);
    read(openTable(path));
    notify();
}

void TranslationTable::registerResource(ArrayView<const std::byte> table) {
    mResources.push(table);
    read(openTable(table));
    notify();
}

void TranslationTable::registerCallback(const Callback& callback) {
    mCallbacks.push(Callback::Weak(callback));
    callback(*this);
}

void TranslationTable::switchLanguage(const String& language) {
    if (language == mCurrentLanguage) return;
    mCurrentLanguage = language;
    mDictionary.clear();
    readAll();
    notify();
}

void TranslationTable::readAll() {
    for (const Io::Path& path : mFiles)
        read(openTable(path));
    for (const ArrayView<const std::byte>& table : mResources)
        read(openTable(table));
}

String TranslationTable::getLocalized(const String& key) const {
    const std::pair<String, String> probe(key, String());
    const auto* found = std::lower_bound(mDictionary.begin(), mDictionary.end(), probe, keyLess);
    if (found != mDictionary.end() && found->first == key && !found->second.isEmpty()) return found->second;
    return key;
}

void TranslationTable::read(Io::TextInputStream&& text) {
    Io::CsvReader csv(makeAutoPtr<Io::TextInputStream>(std::move(text)));
    const Optional<Stack<String>> header = csv.readRow();
    if (!header) return;

    // The header: new languages join the list; the last column named like the current language wins.
    int column = 0;
    for (int i = 1; i < header->size(); ++i) {
        const String& language = (*header)[i];
        if (std::find(mLanguages.begin(), mLanguages.end(), language) == mLanguages.end())
            mLanguages.push(language);
        if (language == mCurrentLanguage) column = i;
    }
    std::sort(mLanguages.begin(), mLanguages.end());

    // The rows in key order, the last of equal keys kept (later rows override earlier ones), then
    // merged into the dictionary, whose entries they replace.
    Stack<std::pair<String, String>> rows;
    while (Optional<Stack<String>> row = csv.readRow()) {
        if (row->isEmpty()) continue;
        String value = column > 0 && column < row->size() ? std::move((*row)[column]) : String();
        rows.push({std::move((*row)[0]), std::move(value)});
    }
    std::stable_sort(rows.begin(), rows.end(), keyLess);
    Stack<std::pair<String, String>> merged;
    merged.reserve(mDictionary.size() + rows.size());
    auto* old = mDictionary.begin();
    for (auto* row = rows.begin(); row != rows.end(); ++row) {
        if (row + 1 != rows.end() && row[1].first == row->first) continue; // a later row has this key
        for (; old != mDictionary.end() && keyLess(*old, *row); ++old)
            merged.push(std::move(*old));
        if (old != mDictionary.end() && old->first == row->first) ++old;
        merged.push(std::move(*row));
    }
    for (; old != mDictionary.end(); ++old)
        merged.push(std::move(*old));
    mDictionary = std::move(merged);
}

void TranslationTable::notify() const {
    // By index, and only those registered before: a callback may register further callbacks, which are
    // called once on registration.
    const int count = mCallbacks.size();
    for (int i = 0; i < count; ++i)
        if (const Callback callback = mCallbacks[i].lock()) callback(*this);
}

} // namespace Kalvex
