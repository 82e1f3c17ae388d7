'use strict';
// The help page: the provider's support and service links from view.get_links. Product
// links ("type" "product") become tiles, kept in their order before everything else; the
// others are appended as full-width rows. Every item opens its "href" signed in (auth). No
// link at all shows the no-connection picture, whose click asks again.

var help = {
    template: null,
    list: null,
    loading: false,

    async ready() {
        help.list = document.getElementById('HelpList');
        help.template = document.getElementById('HelpItemTemplate');
        help.template.remove();
        help.template.removeAttribute('id');
        const current = document.querySelector('.header__link--help');
        if (current)
            current.setAttribute('aria-current', 'page');
        document.getElementById('HelpReload').addEventListener('click', () => help.load());
        await add_narrow();
        global_ready();
        await resize_page();
        help.load();
    },

    load() {
        if (help.loading)
            return;
        help.loading = true;
        help.list.replaceChildren();
        document.getElementById('HelpNoConnection').hidden = true;
        document.getElementById('HelpLoading').hidden = false;
        set_page_enabled(false);
        view.get_links(help.on_end, help.on_items).catch((ex) => {
            help.on_end(false);
            process_error(ex);
        });
    },

    on_items(records) {
        if (!Array.isArray(records))
            return;
        for (const record of records)
            help.add(record);
    },

    on_end(success) {
        if (!help.loading)
            return;
        help.loading = false;
        set_page_enabled(true);
        document.getElementById('HelpLoading').hidden = true;
        document.getElementById('HelpNoConnection').hidden = help.list.children.length > 0;
        document.body.dataset.ready = 'true';
        document.body.dataset.success = String(success === true);
    },

    // One link record {title, href, type, icon}. Texts go in as text and attributes, never
    // as markup.
    add(record) {
        if (!record || typeof record !== 'object')
            return;
        const item = help.template.cloneNode(true);
        item.setAttribute('href', typeof record.href === 'string' ? record.href : '');
        item.setAttribute('auth', 'true');
        item.querySelector('.helpItem__title').textContent = typeof record.title === 'string' ? record.title : '';
        const icon = item.querySelector('.helpItem__icon');
        icon.addEventListener('error', () => {
            if (icon.getAttribute('src') !== 'icon-default.png')
                icon.setAttribute('src', 'icon-default.png');
        });
        icon.setAttribute('src', typeof record.icon === 'string' && record.icon !== '' ? record.icon : 'icon-default.png');
        if (record.type === 'product') {
            // Tiles keep their order, all before the first row.
            help.list.insertBefore(item, help.list.querySelector('.helpItem__fullWidth'));
        } else {
            item.classList.add('helpItem__fullWidth');
            help.list.appendChild(item);
        }
    },
};

document.addEventListener('DOMContentLoaded', () => help.ready().catch(process_error));
