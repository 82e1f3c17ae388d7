// What every message dialog does: it reads the properties it was opened with, fills itself,
// sizes and places its window on the parent, focuses its first useful control, and answers
// the keyboard: Enter confirms, Escape does what the close icon does. It ends once, with
// view.dialog_result.

var dialog = {
    properties: {},
    finished: false,

    // options: fill(properties) (may be async), confirm(), close(), focus() -> the element
    // that gets the focus, place() (default: centred on the parent window).
    async start(options) {
        this.options = options;
        try {
            const properties = await view.get_dialog_properties();
            this.properties = properties && typeof properties === 'object' ? properties : {};
        } catch (ex) {
            console.error('No dialog properties', ex);
            this.properties = {};
        }
        if (options.fill)
            await options.fill(this.properties);

        document.addEventListener('keydown', (event) => this.on_key(event));
        const close = document.getElementById('DialogClose');
        if (close)
            close.addEventListener('click', () => options.close());

        await document.fonts.ready;
        try {
            await (options.place ? options.place() : this.place());
        } catch (ex) {
            console.error('The dialog cannot be placed', ex);
        }
        const first = options.focus ? options.focus() : null;
        if (first)
            first.focus();
        document.body.dataset.ready = 'true';
    },

    // Centred on the parent window, sized to the document.
    async place() {
        return resize_dialog(await view.get_parent_window_properties());
    },

    on_key(event) {
        if (event.isComposing || event.altKey || event.ctrlKey || event.metaKey)
            return;
        if (event.key === 'Escape') {
            event.preventDefault();
            this.options.close();
        } else if (event.key === 'Enter') {
            // A focused button or link does its own thing with Enter.
            const target = event.target instanceof Element ? event.target : null;
            if (target && target.closest('button, a[href]'))
                return;
            event.preventDefault();
            this.options.confirm();
        }
    },

    // Ends the dialog with the value; later calls are ignored.
    finish(value) {
        if (this.finished)
            return;
        this.finished = true;
        view.dialog_result(value).catch((ex) => {
            this.finished = false;
            process_error(ex);
        });
    },
};
