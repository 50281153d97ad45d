// The port list's empty field under Wine, in the smallest program that draws it: an editable
// combo box at Combo1's size beside a plain one, nothing else of ours. It prints the heights
// QLineEdit centres its text by; `--quit` prints them and exits without a window.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("wine_field");
    window.resize(170, 50);
    QComboBox editable(&window), plain(&window);
    editable.setEditable(true);
    editable.setGeometry(8, 15, 73, 20);
    plain.setGeometry(89, 15, 73, 20);
    for (QComboBox* box : {&editable, &plain})
        box->addItems({"COM1", "COM5"});

    // QLineEdit puts its line at the middle of the field less half the larger of these two.
    const QFontMetrics metrics = editable.lineEdit()->fontMetrics();
    std::printf("text box %d px, font %d px, field %d px\n",
                metrics.boundingRect(editable.currentText()).height(), metrics.height(),
                editable.height());
    std::fflush(stdout);
    if (QApplication::arguments().contains("--quit"))
        return 0;
    window.show();
    return app.exec();
}
