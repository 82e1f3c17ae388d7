// The proxy form dialog, filled from the "proxy" record it was opened with (the error
// dialog hands it over when the user asks for the proxy form). It stands 30 px above the
// centre of its parent, so that it covers what the shorter error dialog covered.
// "Сохранить" (and Enter) validate: a valid form ends with the proxy record; otherwise the
// error shows under the field, and the window keeps its place while it grows. The close
// icon (and Escape) end with false.

var proxy_dialog = {
    form: null,
    origin: null,

    fill(properties) {
        this.form = new CustomProxy(document.getElementById('ProxyForm'));
        this.form.fill_proxy(properties.proxy);
        document.getElementById('DialogSave').addEventListener('click', () => this.confirm());
    },

    async place() {
        const centred = await dialog.place();
        this.origin = { left: centred.left, top: centred.top - 30 };
        await this.keep_place();
    },

    async keep_place() {
        const size = document_size();
        await view.set_window_rect(this.origin.left, this.origin.top, size.width, size.height);
    },

    confirm() {
        if (this.form.validate(false)) {
            dialog.finish(this.form.record());
            return;
        }
        if (this.origin)
            this.keep_place().catch(process_error);
    },
};

document.addEventListener('DOMContentLoaded', () => {
    dialog.start({
        fill: (properties) => proxy_dialog.fill(properties),
        place: () => proxy_dialog.place(),
        confirm: () => proxy_dialog.confirm(),
        close: () => dialog.finish(false),
        focus: () => document.getElementById('ProxyUrl'),
    });
});
