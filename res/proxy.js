// The custom proxy fields and their validation, shared by the proxy dialog (proxy.html)
// and the settings page. The fields are inputs named "url", "port", "username" and
// "password" inside one root element; an error text goes into the element whose
// data-error-for names the field (e.g. data-error-for="url port" under the server/port row).

var CustomProxy = class CustomProxy {
    static PORT_DIGITS = 'Порт должен состоять только из цифр';
    static SERVER_REQUIRED = 'Адрес прокси-сервера должен быть указан';
    static SERVER_FORMAT = 'Адрес прокси-сервера указан в неверном формате';

    // A dotted IPv4 address, or a host name of word characters, dots and hyphens, either
    // after an optional scheme and "://". The whole value must be such an address: "http://"
    // alone or a name with a blank in it would give a proxy URL that cannot work.
    static SERVER = /^(?:[A-Za-z][A-Za-z0-9+.-]*:\/\/)?(?:\d{1,3}(?:\.\d{1,3}){3}|[\w.-]+)$/;
    static PORT = /^\d{1,5}$/;

    constructor(root) {
        this.root = root;
        this.changed = false;
        this.error = null;
        this.fields = {};
        for (const name of ['url', 'port', 'username', 'password']) {
            const input = root.querySelector(`input[name="${name}"]`);
            if (!input)
                throw new Error(`The proxy form has no field "${name}"`);
            this.fields[name] = input;
            input.addEventListener('input', () => {
                this.changed = true;
                if (input.getAttribute('aria-invalid') === 'true')
                    this.clear_errors();
            });
        }
    }

    // Fills the fields from a proxy record; only a named proxy has any. Either way the form
    // counts as unchanged afterwards.
    fill_proxy(record) {
        if (record && record.mode === 'NamedProxy') {
            for (const [name, input] of Object.entries(this.fields))
                input.value = typeof record[name] === 'string' ? record[name] : '';
        }
        this.clear_errors();
        this.changed = false;
    }

    // The record of what the fields hold. The address and the port lose surrounding blanks;
    // the user name and the password are taken as typed.
    record() {
        return {
            mode: 'NamedProxy',
            url: this.fields.url.value.trim(),
            port: this.fields.port.value.trim(),
            username: this.fields.username.value,
            password: this.fields.password.value,
        };
    }

    // True when the fields hold a usable proxy. `required`: the server must be given even
    // without a port. A failure shows its text under the field and focuses it.
    validate(required) {
        this.clear_errors();
        const { url, port } = this.record();
        if (port !== '') {
            if (!CustomProxy.PORT.test(port))
                return this.fail('port', CustomProxy.PORT_DIGITS);
            required = true;
        }
        if (url === '')
            return required ? this.fail('url', CustomProxy.SERVER_REQUIRED) : true;
        if (!CustomProxy.SERVER.test(url))
            return this.fail('url', CustomProxy.SERVER_FORMAT);
        return true;
    }

    fail(name, text) {
        this.error = text;
        const input = this.fields[name];
        input.setAttribute('aria-invalid', 'true');
        const place = this.error_element(name);
        if (place)
            place.textContent = text;
        input.focus();
        return false;
    }

    clear_errors() {
        this.error = null;
        for (const [name, input] of Object.entries(this.fields)) {
            input.removeAttribute('aria-invalid');
            const place = this.error_element(name);
            if (place)
                place.textContent = '';
        }
    }

    error_element(name) {
        for (const element of this.root.querySelectorAll('[data-error-for]'))
            if (element.getAttribute('data-error-for').split(/\s+/).includes(name))
                return element;
        return null;
    }

    set_enabled(enabled) {
        for (const input of Object.values(this.fields))
            input.disabled = !enabled;
    }
};
