#include "gui/pages/certificate_viewer.h"

#include <gtk/gtk.h>

#define GCR_API_SUBJECT_TO_CHANGE
#include <gcr/gcr.h>

namespace varnelagent::pages {

namespace {

constexpr int DEFAULT_WIDTH = 520;
constexpr int DEFAULT_HEIGHT = 480;

}  // namespace

CertificateViewer::CertificateViewer(GtkWindow* parent, const std::vector<std::uint8_t>& der,
                                     std::function<void()> closed)
    : closed_(std::move(closed)) {
    GcrCertificate* certificate = gcr_simple_certificate_new(der.data(), der.size());
    dialog_ = gtk_dialog_new_with_buttons("Сертификат", parent,
                                          static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                          "_Закрыть", GTK_RESPONSE_CLOSE, nullptr);
    gtk_window_set_default_size(GTK_WINDOW(dialog_), DEFAULT_WIDTH, DEFAULT_HEIGHT);
    gtk_window_set_position(GTK_WINDOW(dialog_), GTK_WIN_POS_CENTER_ON_PARENT);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(dialog_), TRUE);
    viewer_ = GTK_WIDGET(gcr_certificate_widget_new(certificate));
    g_object_unref(certificate);
    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog_));
    gtk_box_pack_start(GTK_BOX(content), viewer_, TRUE, TRUE, 0);
    // Any answer (the button, Escape, the window's own close) ends the viewer.
    g_signal_connect(dialog_, "response", G_CALLBACK(+[](GtkDialog* dialog, gint, gpointer) {
                         gtk_widget_destroy(GTK_WIDGET(dialog));
                     }),
                     nullptr);
    g_signal_connect(dialog_, "destroy", G_CALLBACK(on_destroy), this);
    gtk_widget_show_all(dialog_);
    gtk_window_present(GTK_WINDOW(dialog_));
}

CertificateViewer::~CertificateViewer() {
    if (dialog_ != nullptr)
        gtk_widget_destroy(dialog_);
}

void CertificateViewer::on_destroy(GtkWidget*, void* data) {
    auto* self = static_cast<CertificateViewer*>(data);
    self->dialog_ = nullptr;
    self->viewer_ = nullptr;
    if (auto closed = std::move(self->closed_)) {
        self->closed_ = nullptr;
        closed();
    }
}

}  // namespace varnelagent::pages
