// cls_StructYHDL: the in-memory login record that the public class keeps as m_YHDL.
#ifndef QZ_PRESENCE_LOGIN_RECORD_H_
#define QZ_PRESENCE_LOGIN_RECORD_H_

#include <cstdint>
#include <string>

namespace qz::presence {

// Six properties and nothing else; setters store a copy, getters return one, neither checks
// nor converts anything. The full name, Std1 and the login time go into the table row only.
class cls_StructYHDL {
 public:
  void set_YH00(int32_t v) { YH00_ = v; }
  void set_YH01(std::string v) { YH01_ = std::move(v); }
  void set_YH02(std::string v) { YH02_ = std::move(v); }
  void set_YH03(std::string v) { YH03_ = std::move(v); }
  void set_YH05(std::string v) { YH05_ = std::move(v); }
  void set_YH06(std::string v) { YH06_ = std::move(v); }

  int32_t YH00() const { return YH00_; }      // row key; 0 until the insert sets it
  std::string YH01() const { return YH01_; }  // user name, trimmed
  std::string YH02() const { return YH02_; }  // the listener's address
  std::string YH03() const { return YH03_; }  // the listener's port, decimal
  std::string YH05() const { return YH05_; }  // system name, trimmed
  std::string YH06() const { return YH06_; }  // module name, trimmed

 private:
  int32_t YH00_ = 0;
  std::string YH01_, YH02_, YH03_, YH05_, YH06_;
};

}  // namespace qz::presence

#endif  // QZ_PRESENCE_LOGIN_RECORD_H_
