// The PIN of a private key or of a certificate file, asked for by the certificate layer
// (from a worker of the sign-in page) through the shell. Opened with {purpose, holder,
// file, wrong}: purpose "listing" when a certificate file cannot even be listed without
// its PIN, "sign-in" when the key of the chosen certificate is needed; wrong is true when
// the PIN given a moment ago did not open the file. "Продолжить" (and Enter) end with
// {pin}; "Отмена", the close icon and Escape end with false.

var pin_dialog = {
    EMPTY: 'Поле «PIN-код» должно быть заполнено.',
    WRONG: 'Неверный PIN-код. Попробуйте еще раз.',

    fill(properties) {
        const text = (value) => (typeof value === 'string' ? value : '');
        const message = document.getElementById('DialogMessage');
        if (properties.purpose === 'listing')
            message.textContent = `Сертификат в файле «${text(properties.file)}» защищен PIN-кодом. ` +
                'Введите его, чтобы увидеть сертификат в списке.';
        else
            message.textContent = `Закрытый ключ сертификата «${text(properties.holder)}» защищен PIN-кодом.`;
        if (properties.wrong === true)
            this.show_error(this.WRONG);
        document.getElementById('DialogConfirm').addEventListener('click', () => this.confirm());
        document.getElementById('DialogCancel').addEventListener('click', () => dialog.finish(false));
        document.getElementById('Pin').addEventListener('input', () => this.show_error(''));
    },

    show_error(text) {
        document.getElementById('PinError').textContent = text;
        const input = document.getElementById('Pin');
        if (text)
            input.setAttribute('aria-invalid', 'true');
        else
            input.removeAttribute('aria-invalid');
    },

    confirm() {
        const input = document.getElementById('Pin');
        if (input.value === '') {
            this.show_error(this.EMPTY);
            input.focus();
            quietly(dialog.place());
            return;
        }
        dialog.finish({ pin: input.value });
    },
};

document.addEventListener('DOMContentLoaded', () => {
    dialog.start({
        fill: (properties) => pin_dialog.fill(properties),
        confirm: () => pin_dialog.confirm(),
        close: () => dialog.finish(false),
        focus: () => document.getElementById('Pin'),
    });
});
