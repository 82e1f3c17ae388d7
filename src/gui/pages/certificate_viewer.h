#pragma once

#include <cstdint>
#include <functional>
#include <vector>

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;

namespace varnelagent::pages {

// The GNOME certificate viewer (GcrCertificateWidget) in a dialog of the shell: modal over
// the parent window, its own window with a "Закрыть" button, closed by the user. GUI thread.
class CertificateViewer {
public:
    // Shows the certificate (DER). `closed` is called once, when the window has gone: the
    // user closed it, or this object was destroyed first.
    CertificateViewer(GtkWindow* parent, const std::vector<std::uint8_t>& der, std::function<void()> closed);
    ~CertificateViewer();
    CertificateViewer(const CertificateViewer&) = delete;
    CertificateViewer& operator=(const CertificateViewer&) = delete;

    bool open() const noexcept { return dialog_ != nullptr; }
    // The dialog and the viewer widget in it (null once closed).
    GtkWidget* dialog() const noexcept { return dialog_; }
    GtkWidget* viewer() const noexcept { return viewer_; }

private:
    static void on_destroy(GtkWidget* widget, void* data);

    GtkWidget* dialog_ = nullptr;
    GtkWidget* viewer_ = nullptr;
    std::function<void()> closed_;
};

}  // namespace varnelagent::pages
