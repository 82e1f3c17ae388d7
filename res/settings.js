// The settings page: autolaunch, silent mode and the desktop's notification centre
// (changed at once), the notification
// channels (switched on the server, one request per click) and the proxy choice, whose
// changes stay here until the page is left ("Сохранить изменения?") or the channel list
// is tried again through them.
//
// Native side: view.get_settings(), view.get_channels(end, items), view.turn_channel(id,
// state), view.set_autolaunch(flag), view.set_silent_mode(flag),
// view.set_desktop_notifications(flag), view.apply_settings(save). Native code calls
// settings.changed(), settings.set_silent_mode(flag),
// settings.get_proxy_settings() and settings.validate_proxy().

'use strict';

var settings = {
    proxy: null,           // CustomProxy over the custom proxy fields
    mode_changed: false,   // the proxy choice was changed since the page was filled
    channels: new Map(),   // channel id -> { record, input }
    loading: false,
    templates: {},

    async ready() {
        this.proxy = new CustomProxy(document.getElementById('ProxyForm'));
        for (const [name, id] of [['group', 'ChannelGroupTemplate'], ['check', 'ChannelCheckTemplate'],
                                  ['radio', 'ChannelRadioTemplate']]) {
            const element = document.getElementById(id);
            element.remove();
            element.removeAttribute('id');
            this.templates[name] = element;
        }
        const link = document.querySelector('.header__link--settings');
        if (link)
            link.setAttribute('aria-current', 'page');
        this.subscribe();

        await add_narrow();
        global_ready();
        this.fill(await view.get_settings());
        await document.fonts.ready;
        await resize_page();
        document.body.dataset.ready = 'true';
        this.load_channels();
    },

    subscribe() {
        const autolaunch = document.getElementById('Autolaunch');
        autolaunch.addEventListener('change', () => this.set_autolaunch(autolaunch));
        const desktop = document.getElementById('DesktopNotifications');
        desktop.addEventListener('change', () => this.set_desktop_notifications(desktop));
        const silent = document.getElementById('SilentMode');
        silent.addEventListener('change', () => quietly(view.set_silent_mode(silent.checked)));
        for (const radio of document.querySelectorAll('input[name="proxy_mode"]')) {
            radio.addEventListener('change', () => {
                this.mode_changed = true;
                this.show_custom();
            });
        }
        const list = document.getElementById('ChannelList');
        list.addEventListener('click', (event) => this.on_channel_click(event));
        list.addEventListener('keydown', (event) => this.on_channel_key(event));
        document.getElementById('ChannelsRetry').addEventListener('click', () => this.retry().catch(process_error));
    },

    // The settings record: {autolaunch, silentMode, desktopNotifications, proxy}.
    fill(values) {
        const record = values && typeof values === 'object' ? values : {};
        document.getElementById('Autolaunch').checked = record.autolaunch === true;
        document.getElementById('SilentMode').checked = record.silentMode === true;
        document.getElementById('DesktopNotifications').checked = record.desktopNotifications === true;
        const proxy = record.proxy && typeof record.proxy === 'object' ? record.proxy : {};
        const mode = ['DefaultProxy', 'NoProxy', 'NamedProxy'].includes(proxy.mode) ? proxy.mode : 'DefaultProxy';
        document.querySelector(`input[name="proxy_mode"][value="${mode}"]`).checked = true;
        this.proxy.fill_proxy(proxy);
        this.mode_changed = false;
        this.show_custom();
    },

    async set_autolaunch(box) {
        box.disabled = true;
        try {
            // The answer is what the desktop will do at the next logon.
            box.checked = (await view.set_autolaunch(box.checked)) === true;
        } finally {
            box.disabled = false;
        }
    },

    async set_desktop_notifications(box) {
        box.disabled = true;
        try {
            // The answer is what the configuration file now says.
            box.checked = (await view.set_desktop_notifications(box.checked)) === true;
        } finally {
            box.disabled = false;
        }
    },

    // From native code: the tray's silent mode changed, or this page's own click went through.
    set_silent_mode(enabled) {
        document.getElementById('SilentMode').checked = enabled === true;
    },

    // --- the proxy ----------------------------------------------------------------------

    mode() {
        const checked = document.querySelector('input[name="proxy_mode"]:checked');
        return checked ? checked.value : 'DefaultProxy';
    },

    show_custom() {
        const custom = this.mode() === 'NamedProxy';
        document.getElementById('ProxyForm').classList.toggle('hidden', !custom);
        this.proxy.set_enabled(custom);
        if (!custom)
            this.proxy.clear_errors();
    },

    changed() {
        return this.mode_changed || this.proxy.changed;
    },

    get_proxy_settings() {
        const mode = this.mode();
        return mode === 'NamedProxy' ? this.proxy.record() : { mode };
    },

    // A custom proxy needs its server; the error shows under the fields.
    validate_proxy() {
        return this.mode() !== 'NamedProxy' || this.proxy.validate(true);
    },

    // May the page be left? Unsaved proxy changes are asked about first.
    // The no-connection picture: a changed and valid proxy is tried (not saved), then the
    // channels are asked for again.
    async retry() {
        if (this.loading)
            return;
        if (this.changed() && this.validate_proxy())
            await view.apply_settings(false);
        this.load_channels();
    },

    // --- the channels -------------------------------------------------------------------

    show_state(id) {
        for (const state of document.querySelectorAll('.channels__state'))
            state.classList.toggle('hidden', state.id !== id);
    },

    load_channels() {
        if (this.loading)
            return;
        this.loading = true;
        this.channels.clear();
        document.getElementById('ChannelList').replaceChildren();
        document.getElementById('Channels').setAttribute('aria-busy', 'true');
        delete document.body.dataset.channels;
        this.show_state('ChannelsLoading');
        view.get_channels((success) => this.channels_loaded(success === true),
                          (list) => this.add_channels(list)).catch((ex) => {
            this.channels_loaded(false);
            process_error(ex);
        });
    },

    add_channels(list) {
        if (!Array.isArray(list))
            return;
        const container = document.getElementById('ChannelList');
        let group = null;
        for (const record of list) {
            if (!record || typeof record !== 'object')
                continue;
            if (record.id === undefined || record.id === null) {
                group = this.add_group(container, record);
                continue;
            }
            if (group === null)
                group = this.add_group(container, {});
            this.add_channel(group, record);
        }
    },

    add_group(container, record) {
        const group = this.templates.group.cloneNode(true);
        const name = group.querySelector('.channel-group__name');
        name.textContent = typeof record.name === 'string' ? record.name : '';
        name.id = `ChannelGroup${container.children.length + 1}`;
        group.setAttribute('aria-labelledby', name.id);
        group.querySelector('.channel-group__icon').src =
            typeof record.icon === 'string' && record.icon !== '' ? record.icon : 'icon-default.png';
        container.append(group);
        return group.querySelector('.channel-group__channels');
    },

    add_channel(group, record) {
        const radio = typeof record.group === 'string' && record.group !== '';
        const row = (radio ? this.templates.radio : this.templates.check).cloneNode(true);
        const input = row.querySelector('input');
        const id = String(record.id);
        if (radio)
            input.name = `channel-group:${record.group}`;
        input.dataset.channel = id;
        input.checked = record.enabled === true;
        row.querySelector('.channel__name').textContent = typeof record.name === 'string' ? record.name : '';
        group.append(row);
        this.channels.set(id, { record: { ...record, id, enabled: record.enabled === true }, input, pending: false });
    },

    channels_loaded(success) {
        this.loading = false;
        document.getElementById('Channels').removeAttribute('aria-busy');
        if (success)
            this.show_state(this.channels.size === 0 ? 'ChannelsEmpty' : null);
        else if (this.channels.size === 0)
            this.show_state('ChannelsOffline');
        else
            this.show_state(null);
        document.body.dataset.channels = success ? 'loaded' : 'offline';
    },

    // A click (pointer or Space) on a channel asks the server first: the input changes only
    // when the server made the change. A click on the label reaches the input as its own click.
    on_channel_click(event) {
        const input = event.target instanceof HTMLInputElement ? event.target : null;
        if (!input || !input.dataset.channel)
            return;
        event.preventDefault();
        const entry = this.channels.get(input.dataset.channel);
        if (entry)
            this.turn(entry).catch(process_error);
    },

    // Arrows move along a radio group without choosing: choosing is a request to the server.
    on_channel_key(event) {
        const input = event.target instanceof HTMLInputElement ? event.target : null;
        if (!input || input.type !== 'radio' || !input.dataset.channel)
            return;
        const step = { ArrowDown: 1, ArrowRight: 1, ArrowUp: -1, ArrowLeft: -1 }[event.key];
        if (!step)
            return;
        event.preventDefault();
        const radios = [...document.querySelectorAll('input.channel__input[type="radio"]')]
            .filter((other) => other.name === input.name);
        const next = radios[(radios.indexOf(input) + step + radios.length) % radios.length];
        next.focus();
    },

    async turn(entry) {
        const { record, input } = entry;
        const state = record.enabled;
        // An already chosen radio button has nothing to ask for.
        if (entry.pending || (input.type === 'radio' && state))
            return;
        entry.pending = true;
        const row = input.closest('.channel');
        row.classList.add('channel--pending');
        input.setAttribute('aria-busy', 'true');
        let done = false;
        try {
            done = (await view.turn_channel(record.id, state)) === true;
        } finally {
            entry.pending = false;
            row.classList.remove('channel--pending');
            input.removeAttribute('aria-busy');
        }
        if (!done)
            return;
        if (input.type === 'radio') {
            // The server keeps one channel of a group on.
            for (const other of this.channels.values()) {
                if (other.input.type === 'radio' && other.input.name === input.name) {
                    other.record.enabled = other === entry;
                    other.input.checked = other === entry;
                }
            }
        } else {
            record.enabled = !state;
            input.checked = record.enabled;
        }
    },
};

document.addEventListener('DOMContentLoaded', () => settings.ready().catch(process_error));
