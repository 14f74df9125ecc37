// Qt 6 image-format plugin for PXCM pictures: every program that reads
// pictures through QImageReader (viewers, file-manager thumbnails) reads
// *.pxc files, recognised by their name or by their header. Pictures come
// out as QImage::Format_RGB888; the size and the format are known from the
// header alone. A stream whose last tokens rely on the zero bits past the
// end of the file is read as the format defines it, the way the plug-in
// shows it; a stream that the format does not define is refused.
#include <algorithm>

#include <QtCore/QIODevice>
#include <QtCore/QLoggingCategory>
#include <QtCore/QVariant>
#include <QtGui/QImage>
#include <QtGui/QImageIOHandler>
#include <QtGui/QImageIOPlugin>

#include <pxcm/pxcm.h>

namespace {

Q_LOGGING_CATEGORY(lcPxcm, "pxcm.imageformat")

constexpr qint64 kHeaderBytes = 24;
// A few bytes may claim 65535 x 65535 pixels: the build sets the limit, the
// same as the gdk-pixbuf loader's. QImageReader's allocation limit applies
// as well.
constexpr quint64 kMaxPixels = PXCM_DESKTOP_MAX_PIXELS;
constexpr qint64 kMaxFileBytes = qint64(1) << 30;

bool peekHeader(QIODevice *device, pxcm_info *info) {
    if (!device || !device->isReadable())
        return false;
    const QByteArray head = device->peek(kHeaderBytes);
    return pxcm_read_info(head.constData(), static_cast<size_t>(head.size()), info) == PXCM_OK;
}

class PxcmHandler : public QImageIOHandler {
public:
    bool canRead() const override {
        pxcm_info info;
        if (!peekHeader(device(), &info))
            return false;
        setFormat("pxc");
        return true;
    }

    bool read(QImage *image) override {
        // As much as any picture within the limit takes: bytes beyond are
        // after its stream, or the decode reads zero bits in their place.
        QByteArray data;
        while (data.size() < kMaxFileBytes) {
            const QByteArray piece = device()->read(std::min<qint64>(kMaxFileBytes - data.size(), qint64(1) << 20));
            if (piece.isEmpty()) break;
            data += piece;
        }
        pxcm_info info;
        int r = pxcm_read_info(data.constData(), static_cast<size_t>(data.size()), &info);
        if (r != PXCM_OK) {
            qCWarning(lcPxcm, "cannot read the picture: %s", pxcm_result_text(r));
            return false;
        }
        if (info.width == 0 || info.height == 0) {
            qCWarning(lcPxcm, "the picture has no pixels (%u x %u)", info.width, info.height);
            return false;
        }
        if (quint64(info.width) * info.height > kMaxPixels) {
            qCWarning(lcPxcm, "the picture is %u x %u pixels, more than the %llu this plugin accepts",
                      info.width, info.height, static_cast<unsigned long long>(kMaxPixels));
            return false;
        }
        QImage decoded;
        if (!allocateImage(QSize(int(info.width), int(info.height)), QImage::Format_RGB888, &decoded)) {
            qCWarning(lcPxcm, "no memory for a picture of %u x %u pixels", info.width, info.height);
            return false;
        }
        pxcm_decode_options options{};
        options.layout = PXCM_LAYOUT_RGB;
        options.stride = static_cast<size_t>(decoded.bytesPerLine());
        options.max_pixels = kMaxPixels;
        pxcm_decode_report report{};
        r = pxcm_decode(data.constData(), static_cast<size_t>(data.size()), &options, decoded.bits(),
                        static_cast<size_t>(decoded.sizeInBytes()), &report);
        if (r != PXCM_OK) {
            qCWarning(lcPxcm, "cannot read the picture: %s", pxcm_result_text(r));
            return false;
        }
        *image = decoded;
        return true;
    }

    bool supportsOption(ImageOption option) const override { return option == Size || option == ImageFormat; }

    QVariant option(ImageOption option) const override {
        pxcm_info info;
        if (option == Size && peekHeader(device(), &info))
            return QSize(int(info.width), int(info.height));
        if (option == ImageFormat)
            return QImage::Format_RGB888;
        return {};
    }
};

} // namespace

class PxcmImagePlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "pxcm.json")

public:
    Capabilities capabilities(QIODevice *device, const QByteArray &format) const override {
        if (format == "pxc")
            return CanRead;
        if (!format.isEmpty() || !device || !device->isOpen())
            return {};
        pxcm_info info;
        return peekHeader(device, &info) ? CanRead : Capabilities();
    }

    QImageIOHandler *create(QIODevice *device, const QByteArray &format) const override {
        auto *handler = new PxcmHandler;
        handler->setDevice(device);
        handler->setFormat(format);
        return handler;
    }
};

#include "pxcm_imageformat.moc"
