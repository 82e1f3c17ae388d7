'use strict';
var popups = {
    held: [],
    add_messages(list) {
        this.held.push(...list);
        const content = document.getElementById('content');
        content.textContent = '';
        for (const message of this.held.slice(-3).reverse()) {
            const row = document.createElement('div');
            row.className = 'message';
            row.dataset.id = message.id;
            row.textContent = message.title;
            if (message.href)
                row.setAttribute('href', message.href);
            row.setAttribute('auth', 'true');
            content.appendChild(row);
        }
        resize_page();
    },
};
