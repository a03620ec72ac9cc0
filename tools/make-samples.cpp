// Writes the sample series that `make run` serves: pic01.jpg to pic20.jpg, each showing its
// number, and a few answers that are not GIF or JPEG, so both kinds of pass can be tried.
#include "fixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTextStream>

namespace {

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    if (app.arguments().size() != 2) {
        err << "usage: make-samples FOLDER\n";
        return 2;
    }
    const QDir folder(app.arguments().at(1));
    if (!QDir().mkpath(folder.path())) {
        err << "make-samples: cannot create " << folder.path() << "\n";
        return 1;
    }

    const QStringList pictures = writeJpegSeries(folder.path(), 20, QStringLiteral("pic"), 1, QSize(320, 240));
    QImage png(QSize(320, 240), QImage::Format_RGB32);
    png.fill(QColor(40, 90, 60));
    const bool others = png.save(folder.filePath(QStringLiteral("pic01.png")), "PNG")
        && writeText(folder.filePath(QStringLiteral("pic01.html")),
                     "<html><body><p>A page, not a picture.</p></body></html>\n")
        && writeText(folder.filePath(QStringLiteral("pic01.txt")), "Plain text, not a picture.\n");

    QByteArray index = "<html><body><h1>Sample series</h1><ul>\n";
    for (const QString &name : folder.entryList(QDir::Files, QDir::Name)) {
        if (name != QLatin1String("index.html"))
            index += "<li><a href=\"" + name.toUtf8() + "\">" + name.toUtf8() + "</a></li>\n";
    }
    index += "</ul></body></html>\n";

    if (pictures.size() != 20 || !others || !writeText(folder.filePath(QStringLiteral("index.html")), index)) {
        err << "make-samples: could not write every sample into " << folder.path() << "\n";
        return 1;
    }
    return 0;
}
