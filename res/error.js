// The error dialog: the title and the message it was opened with, and one button. "message"
// is the program's own HTML (its links included); "text" is anything else (a server's
// message, a failure, an address) and is shown as text, never as markup.
// With "proxy" set (true, or the proxy record of the failed connection) the button offers
// the proxy form, which replaces this document in the same dialog window and reads the
// same properties; otherwise the button and Enter end the dialog with true. The close icon
// and Escape end it with false.

var error_dialog = {
    offers_proxy: false,

    fill(properties) {
        document.getElementById('DialogTitle').textContent =
            typeof properties.title === 'string' ? properties.title : '';
        const message = document.getElementById('DialogMessage');
        if (typeof properties.text === 'string') {
            message.textContent = properties.text;
            message.classList.add('dialog__message--text');
        } else {
            // The page policy keeps any script in our own HTML from running.
            message.innerHTML = typeof properties.message === 'string' ? properties.message : '';
        }
        const proxy = properties.proxy;
        this.offers_proxy = proxy === true || (proxy !== null && typeof proxy === 'object');
        const button = document.getElementById('DialogConfirm');
        button.textContent = this.offers_proxy ? 'Настроить прокси-сервер' : 'OK';
        button.addEventListener('click', () => this.confirm());
    },

    confirm() {
        if (!this.offers_proxy) {
            dialog.finish(true);
            return;
        }
        view.load_document('res:proxy.html').catch(process_error);
    },
};

document.addEventListener('DOMContentLoaded', () => {
    dialog.start({
        fill: (properties) => error_dialog.fill(properties),
        confirm: () => error_dialog.confirm(),
        close: () => dialog.finish(false),
        focus: () => document.getElementById('DialogConfirm'),
    });
});
