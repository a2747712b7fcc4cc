#include "snapshot_print.h"

#include <QFileDialog>
#include <QImage>
#include <QPainter>
#include <QPrintDialog>

#include "platform/system.h"
#include "reader/snapshot.h"

namespace player {

namespace {

// The picture as an image: ORMA pictures are single fields, so they are stretched to twice their height.
QImage LoadPicture(const std::vector<BYTE>& bytes, bool orma) {
    QImage image;
    if (!image.loadFromData(bytes.data(), static_cast<int>(bytes.size())))
        return {};
    image = image.convertToFormat(QImage::Format_RGB32);
    if (orma)
        image =
            image.scaled(image.width(), image.height() * 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

} // namespace

SaveNameChooser SaveDialogChooser(QWidget* parent) {
    return [parent](const std::string& defaultName) {
        QFileDialog dialog(parent, QString(), QString::fromStdString(defaultName),
                           "JPEG (*.jpg);;BMP (*.bmp)");
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix("jpg");
        dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::string();
        return dialog.selectedFiles().first().toStdString();
    };
}

PrinterChooser PrintDialogChooser(QWidget* parent) {
    return [parent]() -> std::unique_ptr<QPrinter> {
        auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        QPrintDialog dialog(printer.get(), parent);
        dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
        dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
        if (dialog.exec() != QDialog::Accepted)
            return nullptr;
        return printer;
    };
}

void SaveSnapshot(reader::CPlayerCore& core, int channel, const SaveNameChooser& choose) {
    std::vector<BYTE> bytes;
    if (!reader::FetchCurrentPicture(core, channel, &bytes))
        return;
    const std::string caption = reader::SnapshotCaption(core, channel);
    const std::string path = choose ? choose(caption) : std::string();
    if (path.empty())
        return;
    QImage image = LoadPicture(bytes, !core.IsTav());
    if (image.isNull())
        return;
    {
        // Arial, 24 pixels, opaque green, the text's top-left corner at (20, 5).
        QPainter painter(&image);
        QFont font("Arial");
        font.setPixelSize(24);
        painter.setFont(font);
        painter.setPen(QColor(0x00, 0xFF, 0x00));
        painter.drawText(QRect(20, 5, image.width(), image.height()), Qt::AlignLeft | Qt::AlignTop,
                         QString::fromStdString(caption));
    }
    // The format comes from the extension rule alone, never from the name's suffix as Qt would guess it.
    image.save(QString::fromStdString(path), reader::SnapshotIsJpeg(path) ? "JPG" : "BMP");
}

void PrintSnapshot(reader::CPlayerCore& core, int channel, const PrinterChooser& choose) {
    std::vector<BYTE> bytes;
    if (!reader::FetchCurrentPicture(core, channel, &bytes))
        return;
    const bool orma = !core.IsTav();
    QImage image;
    if (!image.loadFromData(bytes.data(), static_cast<int>(bytes.size())))
        return;
    std::unique_ptr<QPrinter> printer = choose ? choose() : nullptr;
    if (!printer) {
        MessageBoxA(nullptr, "No selected printer!", "Error", MB_OK);
        return;
    }
    printer->setDocName(reader::kPrintDocumentName);
    QPainter painter;
    if (!painter.begin(printer.get())) {
        MessageBoxA(nullptr, "Printer wouldn't initialize!", "Error", MB_OK);
        return;
    }
    // Across the page width, in proportion; ORMA pictures (single fields) twice as high.
    const int P = painter.device()->width();
    int height = static_cast<int>(static_cast<long long>(P) * image.height() / std::max(1, image.width()));
    if (orma)
        height *= 2;
    painter.drawImage(QRect(0, 0, P, height), image);
    painter.drawText(QRect(P / 2 - 300, height + (orma ? 10 : 5), P, P), Qt::AlignLeft | Qt::AlignTop,
                     QString::fromStdString(reader::PrintCaption(core, channel)));
    painter.end();
}

} // namespace player
