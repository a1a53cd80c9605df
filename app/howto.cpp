#include "app/howto.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>

namespace sorrelon::app {

QString HowToText() {
  return QStringLiteral(
      "恢复步骤\n"
      "1 选择恢复的数据源 点右键选取分区硬盘或镜像\n"
      "           文件\n"
      "  扫描设置:删除默认,格式化把只扫描空闲簇去掉\n"
      "           其它选项适专业人员选择\n"
      "\n"
      "2 碎片列表\n"
      "  可以进行扫描信息保存,二次\n"
      "           引用\n"
      "\n"
      "3    分析碎片,选中要恢复的数据库名,点分析按键,\n"
      "              提示分析完成后,转到碎片合成页面\n"
      "\n"
      "4 碎片合成\n"
      "  可进先二次碎片查找,提示找到0个碎\n"
      "  片时,进行MDF合并");
}

namespace {

// Colours of the fragments, in page order.
const QColor kFragmentColours[] = {QColor(214, 69, 65), QColor(240, 160, 40), QColor(90, 170, 70),
                                   QColor(60, 130, 200), QColor(150, 90, 180), QColor(30, 160, 160)};

void Arrow(QPainter& p, QPointF from, QPointF to) {
  p.drawLine(from, to);
  QLineF back(to, from);
  QLineF a = back;
  a.setLength(10);
  a.setAngle(back.angle() + 25);
  QLineF b = back;
  b.setLength(10);
  b.setAngle(back.angle() - 25);
  p.drawLine(a);
  p.drawLine(b);
}

}  // namespace

QPixmap HowToPicture(int width, int height) {
  QPixmap pm(width, height);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient sky(0, 0, 0, height);
  sky.setColorAt(0, QColor(232, 242, 250));
  sky.setColorAt(1, QColor(200, 222, 240));
  p.fillRect(pm.rect(), sky);

  const double w = width, h = height;
  QFont title = p.font();
  title.setPixelSize(int(h * 0.05));
  title.setBold(true);

  // The disk: a platter with the fragments scattered over its tracks.
  const QPointF centre(w * 0.24, h * 0.46);
  const double r = std::min(w * 0.2, h * 0.3);
  QRadialGradient platter(centre, r);
  platter.setColorAt(0, QColor(245, 245, 250));
  platter.setColorAt(0.85, QColor(175, 180, 195));
  platter.setColorAt(1, QColor(120, 125, 140));
  p.setPen(QPen(QColor(80, 85, 100), 2));
  p.setBrush(platter);
  p.drawEllipse(centre, r, r);
  p.setPen(QPen(QColor(150, 155, 170), 1));
  p.setBrush(Qt::NoBrush);
  for (double t = 0.35; t < 0.95; t += 0.15) p.drawEllipse(centre, r * t, r * t);
  p.setBrush(QColor(90, 95, 110));
  p.drawEllipse(centre, r * 0.12, r * 0.12);

  // Fragments lie out of order on the disk.
  const int order[] = {3, 0, 5, 1, 4, 2};
  const double angles[] = {20, 80, 150, 200, 260, 320};
  const double radii[] = {0.8, 0.55, 0.72, 0.45, 0.82, 0.6};
  QFont small = p.font();
  small.setPixelSize(int(h * 0.032));
  small.setBold(true);
  p.setFont(small);
  for (int i = 0; i < 6; ++i) {
    QLineF ray(centre, centre + QPointF(r, 0));
    ray.setAngle(angles[i]);
    ray.setLength(r * radii[i]);
    QRectF block(ray.p2() - QPointF(r * 0.13, r * 0.08), QSizeF(r * 0.26, r * 0.16));
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.setBrush(kFragmentColours[order[i]]);
    p.drawRoundedRect(block, 3, 3);
    p.setPen(Qt::white);
    p.drawText(block, Qt::AlignCenter, QString::number(order[i]));
  }

  // The rebuilt data file: the fragments stacked in page order.
  const QRectF file(w * 0.66, h * 0.2, w * 0.26, h * 0.52);
  QPainterPath body;
  const double lid = file.height() * 0.1;
  body.addRect(file.adjusted(0, lid / 2, 0, -lid / 2));
  p.setPen(QPen(QColor(40, 60, 100), 2));
  p.setBrush(QColor(235, 240, 250));
  p.drawPath(body);
  p.drawEllipse(QRectF(file.left(), file.bottom() - lid, file.width(), lid));
  for (int i = 0; i < 6; ++i) {
    QRectF slot(file.left() + file.width() * 0.12, file.top() + lid + i * (file.height() - 2 * lid) / 6.0 + 3,
                file.width() * 0.76, (file.height() - 2 * lid) / 6.0 - 6);
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.setBrush(kFragmentColours[i]);
    p.drawRoundedRect(slot, 3, 3);
    p.setPen(Qt::white);
    p.drawText(slot, Qt::AlignCenter, QString::number(i));
  }
  p.setPen(QPen(QColor(40, 60, 100), 2));
  p.setBrush(QColor(200, 215, 240));
  p.drawEllipse(QRectF(file.left(), file.top(), file.width(), lid));
  p.setFont(title);
  p.setPen(QColor(20, 40, 120));
  p.drawText(QRectF(file.left(), file.bottom() + 4, file.width(), h * 0.07), Qt::AlignCenter,
             QStringLiteral("MDF"));

  // From the disk to the file.
  p.setPen(QPen(QColor(20, 40, 120), 3));
  Arrow(p, QPointF(centre.x() + r + w * 0.03, centre.y()), QPointF(file.left() - w * 0.03, centre.y()));

  // The road, tab by tab.
  QFont road = p.font();
  road.setPixelSize(int(h * 0.045));
  road.setBold(true);
  p.setFont(road);
  p.setPen(QColor(20, 40, 120));
  p.drawText(QRectF(0, h * 0.84, w, h * 0.1), Qt::AlignCenter,
             QStringLiteral("扫描  →  碎片列表  →  分析  →  组合MDF"));
  return pm;
}

}  // namespace sorrelon::app
