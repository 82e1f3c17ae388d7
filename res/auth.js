'use strict';
// The sign-in window. Two ways in: one of the user's certificates (listed by native code,
// the first one chosen; a double click signs in with a row, its info button shows the
// certificate) or the e-mail address and password. "Войти" and Enter sign in with the way
// shown. While a request runs the form is off; a sign-in that succeeds never turns it on
// again (native code replaces the window's page), one that fails does, after its dialog.

var auth = {
    REQUIRED_LOGIN: 'Поле «Электронная почта» должно быть заполнено.',
    REQUIRED_PASSWORD: 'Поле «Пароль» должно быть заполнено.',

    tab: 'cert',
    busy: false,
    template: null,
    locked_template: null,
    empty_block: null,
    loading_block: null,
    focus_before: null,

    element(id) {
        return document.getElementById(id);
    },

    async ready() {
        // The sample rows and the empty-store block are the document's own design; rows are
        // made from the templates, the block comes back when there is nothing to list.
        this.template = this.detach('CertTemplate');
        this.locked_template = this.detach('LockedTemplate');
        this.empty_block = this.detach('CertEmpty');
        this.loading_block = this.element('CertLoading');

        this.element('TabCert').addEventListener('click', () => this.show_tab('cert', true));
        this.element('TabLogin').addEventListener('click', () => this.show_tab('login', true));
        document.querySelector('.tabs').addEventListener('keydown', (event) => this.on_tab_key(event));
        this.element('SignIn').addEventListener('click', () => this.sign_in());
        this.element('Minimize').addEventListener('click', () => quietly(view.agent_minimize()));
        this.element('Close').addEventListener('click', () => quietly(view.agent_close()));
        document.addEventListener('keydown', (event) => this.on_key(event));
        for (const id of ['Login', 'Password'])
            this.element(id).addEventListener('input', () => this.set_error(id, ''));

        const list = this.element('CertList');
        list.addEventListener('dblclick', (event) => this.on_row_double_click(event));
        list.addEventListener('click', (event) => this.on_row_click(event));
        list.addEventListener('change', () => this.update_submit());

        await document.fonts.ready;
        await resize();
        try {
            const email = await view.get_last_email();
            this.element('Login').value = typeof email === 'string' ? email : '';
        } catch (ex) {
            console.error('No last e-mail', ex);
        }
        this.load_certificates(null);
    },

    detach(id) {
        const element = this.element(id);
        element.remove();
        element.removeAttribute('id');
        return element;
    },

    // The form off (and the button spinning, while signing in) or on again.
    set_busy(busy, loading) {
        if (busy && !this.busy)
            this.focus_before = document.activeElement;
        this.busy = busy;
        document.body.classList.toggle('disabled', busy);
        document.body.classList.toggle('loading', busy && loading === true);
        this.element('AuthContainer').inert = busy;
        if (!busy && this.focus_before && this.focus_before.isConnected)
            this.focus_before.focus();
    },

    show_tab(name, focus) {
        this.tab = name;
        const container = this.element('AuthContainer');
        container.classList.toggle('authContainer__cert', name === 'cert');
        container.classList.toggle('authContainer__login', name === 'login');
        for (const [id, tab] of [['TabCert', 'cert'], ['TabLogin', 'login']]) {
            const element = this.element(id);
            element.setAttribute('aria-selected', String(tab === name));
            element.tabIndex = tab === name ? 0 : -1;
        }
        this.update_submit();
        if (focus)
            this.focus_first();
    },

    focus_first() {
        if (this.tab === 'login') {
            const login = this.element('Login');
            (login.value.trim() === '' ? login : this.element('Password')).focus();
            return;
        }
        const checked = document.querySelector('.cert__radio:checked');
        if (checked)
            checked.focus();
    },

    // Arrow keys move between the two tabs, as in any tab list.
    on_tab_key(event) {
        if (event.key !== 'ArrowLeft' && event.key !== 'ArrowRight')
            return;
        event.preventDefault();
        const next = this.tab === 'cert' ? 'login' : 'cert';
        this.show_tab(next, false);
        this.element(next === 'cert' ? 'TabCert' : 'TabLogin').focus();
    },

    on_key(event) {
        if (event.key !== 'Enter' || event.isComposing || event.altKey || event.ctrlKey || event.metaKey)
            return;
        // A focused button or link does its own thing with Enter.
        const target = event.target instanceof Element ? event.target : null;
        if (target && target.closest('button, a[href]'))
            return;
        event.preventDefault();
        this.sign_in();
    },

    load_certificates(unlock) {
        this.set_busy(true, false);
        this.element('CertList').replaceChildren();
        this.empty_block.remove();
        this.loading_block.hidden = false;
        const records = [];
        const end = () => this.listed(records);
        const items = (list) => {
            if (Array.isArray(list))
                records.push(...list);
        };
        const call = unlock ? view.get_certs(end, items, unlock) : view.get_certs(end, items);
        call.catch((ex) => {
            console.error('The certificates are not listed', ex);
            this.listed(records);
        });
    },

    listed(records) {
        this.loading_block.hidden = true;
        const list = this.element('CertList');
        list.replaceChildren();
        let certificates = 0;
        for (const record of records) {
            if (!record || typeof record !== 'object')
                continue;
            if (record.locked === true) {
                list.append(this.locked_row(record));
                continue;
            }
            list.append(this.row(record));
            ++certificates;
        }
        if (list.children.length === 0)
            this.element('CertPanel').append(this.empty_block);
        const first = list.querySelector('.cert__radio');
        if (first)
            first.checked = true;
        this.set_busy(false);
        this.update_submit();
        document.body.dataset.certificates = String(certificates);
        document.body.dataset.ready = 'true';
        if (!this.focus_before || !this.focus_before.isConnected || this.focus_before === document.body)
            this.focus_first();
    },

    text(value) {
        return typeof value === 'string' ? value : '';
    },

    row(record) {
        const row = this.template.cloneNode(true);
        row.dataset.number = String(record.number);
        row.querySelector('.cert__organization').textContent = this.text(record.organization);
        row.querySelector('.cert__issuer').textContent = this.text(record.issuer);
        row.querySelector('.cert__inn').textContent = this.text(record.inn);
        row.querySelector('.cert__valid-to').textContent = this.text(record.validTo);
        const kpp = this.text(record.kpp);
        if (kpp === '')
            row.querySelector('.cert__field--kpp').remove();
        else
            row.querySelector('.cert__kpp').textContent = kpp;
        const name = [record.organization, record.issuer].map((part) => this.text(part)).filter(Boolean).join(', ');
        row.querySelector('.cert__radio').setAttribute('aria-label', name);
        return row;
    },

    locked_row(record) {
        const row = this.locked_template.cloneNode(true);
        row.dataset.file = this.text(record.file);
        row.querySelector('.cert__file').textContent = this.text(record.file);
        return row;
    },

    on_row_click(event) {
        const target = event.target instanceof Element ? event.target : null;
        if (!target || this.busy)
            return;
        const info = target.closest('.cert__info');
        if (info) {
            event.preventDefault();
            quietly(view.display_cert(info.closest('.cert').dataset.number));
            return;
        }
        const unlock = target.closest('.cert__unlock');
        if (unlock)
            this.load_certificates(unlock.closest('.cert').dataset.file);
    },

    on_row_double_click(event) {
        const target = event.target instanceof Element ? event.target : null;
        if (!target || target.closest('button') || this.busy)
            return;
        const row = target.closest('.cert');
        if (!row || row.dataset.number === undefined)
            return;
        row.querySelector('.cert__radio').checked = true;
        this.sign_in_with(row.dataset.number);
    },

    update_submit() {
        const nothing = this.tab === 'cert' && !document.querySelector('.cert__radio:checked');
        this.element('SignIn').disabled = nothing;
    },

    set_error(id, text) {
        const input = this.element(id);
        this.element(id + 'Error').textContent = text;
        if (text)
            input.setAttribute('aria-invalid', 'true');
        else
            input.removeAttribute('aria-invalid');
    },

    sign_in() {
        if (this.busy)
            return;
        if (this.tab === 'cert') {
            const checked = document.querySelector('.cert__radio:checked');
            if (checked)
                this.sign_in_with(checked.closest('.cert').dataset.number);
            return;
        }
        const login = this.element('Login');
        const password = this.element('Password');
        // An e-mail address has no blanks around it; a password is taken as typed.
        login.value = login.value.trim();
        this.set_error('Login', login.value === '' ? this.REQUIRED_LOGIN : '');
        this.set_error('Password', password.value === '' ? this.REQUIRED_PASSWORD : '');
        if (login.value === '' || password.value === '') {
            (login.value === '' ? login : password).focus();
            return;
        }
        this.start((end) => view.authenticate_by_login(end, login.value, password.value, this.remember()));
    },

    sign_in_with(number) {
        this.start((end) => view.authenticate_by_cert(end, String(number), this.remember()));
    },

    remember() {
        return this.element('Remember').checked;
    },

    start(call) {
        this.set_busy(true, true);
        const end = (success) => {
            if (success !== true)
                this.set_busy(false);
        };
        call(end).catch((ex) => {
            this.set_busy(false);
            process_error(ex);
        });
    },
};

document.addEventListener('DOMContentLoaded', () => auth.ready().catch(process_error));
