// TranslationTable: the texts of a user interface in the chosen language. Translations come from CSV
// tables (a header row naming the languages of the columns, then one row per key), registered as files
// or as byte blocks; switching the language re-reads every source and tells the registered callbacks.
//
//   TranslationTable& table = TranslationTable::getInstance();
//   table.registerFile(u"/data/texts.csv");    // key,English,Deutsch / Open,Open,Öffnen
//   table.switchLanguage(u"Deutsch");
//   String label = table.getLocalized(u"Open");   // "Öffnen"; unknown keys come back unchanged
//
// The table has no lock: use it from the main thread, and make the first getInstance() call before
// other threads start.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

#include <cstddef>
#include <utility>

namespace Kalvex {

namespace Io {
class TextInputStream;
}

/// The texts of a user interface in the chosen language, read from CSV tables.
class TranslationTable : public Noncopyable {
public:
    /// Called after every language switch with the table.
    using Callback = Function<void(const TranslationTable&)>;

    /// The process-wide table, made on first use; the last Lib::shutdown destroys it.
    [[nodiscard]] static TranslationTable& getInstance();

    /// Language "English", no sources, an empty dictionary.
    TranslationTable();

    /// Registers `path` and reads it into the dictionary, then calls the callbacks. Throws Exception
    /// when the file cannot be read (the path stays registered).
    void registerFile(const Io::Path& path);
    /// Registers the bytes and reads them into the dictionary, then calls the callbacks. Only the view
    /// is kept: the bytes must outlive the table.
    void registerResource(ArrayView<const std::byte> table);
    /// Keeps a weak reference to `callback` and calls it once now; it is called after every change
    /// while some Function still shares it.
    void registerCallback(const Callback& callback);
    /// Makes `language` current and re-reads every file, then every resource, in registration order,
    /// then calls the callbacks; does nothing when it is current already.
    void switchLanguage(const String& language);

    /// The translation of `key`; `key` itself when there is none or it is empty.
    [[nodiscard]] String getLocalized(const String& key) const;
    /// Every language named by a table read so far, and "English", sorted by code units; valid until
    /// the next read.
    [[nodiscard]] ArrayView<const String> getLanguageList() const noexcept { return mLanguages; }
    /// The language chosen last (a column name of the tables).
    [[nodiscard]] const String& getCurrentLanguage() const noexcept { return mCurrentLanguage; }

private:
    void read(Io::TextInputStream&& text);
    void readAll();
    void notify() const;

    Stack<String> mLanguages;
    String mCurrentLanguage;
    Stack<std::pair<String, String>> mDictionary; // sorted by key, keys unique
    Stack<Io::Path> mFiles;
    Stack<ArrayView<const std::byte>> mResources;
    Stack<Callback::Weak> mCallbacks;
};

} // namespace Kalvex
