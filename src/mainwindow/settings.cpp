#include "mainwindow/settings.h"

#include <QFileInfo>
#include <QSettings>

#include <array>

namespace sv {

namespace {

// The stored key whose name equals `name` without regard to case, or an empty string.
QString findKey(const QStringList& keys, const QString& name) {
    for (const QString& key : keys)
        if (key.compare(name, Qt::CaseInsensitive) == 0) return key;
    return {};
}

}  // namespace

QString defaultSettingsPath() {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Sombrel_Varno"),
                       QStringLiteral("Sombrel_Varno"));
    return settings.fileName();
}

SettingsRead readSettings(const QString& path) {
    SettingsRead out;
    if (!QFileInfo::exists(path)) return out;
    out.keyExists = true;
    QSettings settings(path, QSettings::IniFormat);
    const QStringList keys = settings.allKeys();
    const std::array<std::pair<const char*, int*>, 5> order = {{
        {"Language", &out.values.language},
        {"JPEG_quality", &out.values.jpegQuality},
        {"TIFF_compression", &out.values.tiffCompression},
        {"TIFF_bitdepth", &out.values.tiffBitDepth},
        {"auto_preview", &out.values.autoPreview},
    }};
    for (const auto& [name, target] : order) {
        const QString key = findKey(keys, QString::fromLatin1(name));
        if (key.isEmpty()) break;
        bool ok = false;
        const int value = settings.value(key).toString().trimmed().toInt(&ok);
        if (!ok) break;
        *target = value;
        ++out.valuesRead;
    }
    return out;
}

bool writeSettings(const QString& path, const StoredSettings& values) {
    QSettings settings(path, QSettings::IniFormat);
    const QStringList keys = settings.allKeys();
    const std::array<std::pair<const char*, int>, 5> order = {{
        {"language", values.language},
        {"JPEG_quality", values.jpegQuality},
        {"TIFF_compression", values.tiffCompression},
        {"TIFF_bitdepth", values.tiffBitDepth},
        {"auto_preview", values.autoPreview},
    }};
    for (const auto& [name, value] : order) {
        const QString wanted = QString::fromLatin1(name);
        // One value per name: a differently cased old entry is replaced, not kept beside it.
        for (const QString& key : keys)
            if (key.compare(wanted, Qt::CaseInsensitive) == 0 && key != wanted) settings.remove(key);
        settings.setValue(wanted, value);
    }
    settings.sync();
    return settings.status() == QSettings::NoError;
}

AddedSettings readAddedSettings(const QString& path) {
    AddedSettings out;
    if (!QFileInfo::exists(path)) return out;
    QSettings settings(path, QSettings::IniFormat);
    const QString key = findKey(settings.allKeys(), QStringLiteral("auto_align"));
    if (key.isEmpty()) return out;
    bool ok = false;
    const int value = settings.value(key).toString().trimmed().toInt(&ok);
    out.autoAlign = ok && value != 0;
    return out;
}

bool writeAddedSettings(const QString& path, const AddedSettings& values) {
    QSettings settings(path, QSettings::IniFormat);
    const QString wanted = QStringLiteral("auto_align");
    for (const QString& key : settings.allKeys())
        if (key.compare(wanted, Qt::CaseInsensitive) == 0) settings.remove(key);
    if (values.autoAlign) settings.setValue(wanted, 1);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

}  // namespace sv
