// Built-in UI texts: each language's 23 installer texts, then the generated
// uninstaller's three. Formatted texts (window_title, the sub-headings,
// launch_box, the two questions and the uninstaller's texts) keep their one
// %s; mnemonics ("&") are chosen so that controls shown together do not
// share a letter where the language allows it. Languages written without Latin letters use the
// "(&X)" mnemonic convention of their Windows versions where that is usual.
#include "tool/languages.h"

namespace tailpack {
namespace {

Language Make(const char* code, uint16_t langId, const char16_t* name,
              std::array<std::u16string, kUiTextCount> texts,
              std::array<std::u16string, kUninstallerTextCount> uninstall) {
  Language language;
  language.code = code;
  language.texts.langId = langId;
  language.texts.name = name;
  language.texts.texts = std::move(texts);
  language.uninstall = std::move(uninstall);
  return language;
}

std::vector<Language> BuildDefaults() {
  std::vector<Language> all;
  all.push_back(Make("en", 0x0409, u"English", EnglishLanguage().texts,
                    {
                        u"Do you want to completely remove %s and all of its components?",
                        u"%s was removed from your computer.",
                        u"%s could not be removed completely. These items are left:",
                    }));

  all.push_back(Make("bg", 0x0402, u"Български", {
      u"Инсталиране - %s",
      u"< &Назад",
      u"Н&апред >",
      u"&Инсталиране",
      u"Отказ",
      u"Лицензно споразумение",
      u"Моля, прочетете следната важна информация, преди да продължите.",
      u"&Приемам споразумението",
      u"Избор на местоназначение",
      u"Къде да бъде инсталиран %s?",
      u"Пре&глед...",
      u"Инсталиране",
      u"Моля, изчакайте, докато %s се инсталира на вашия компютър.",
      u"Инсталирането завърши успешно",
      u"Инсталирането е неуспешно",
      u"Натиснете „Край“, за да излезете от инсталатора.",
      u"&Край",
      u"Стартиране на %s",
      u"Изберете папка от списъка по-долу, след което натиснете „OK“.",
      u"Създаване на икона на &работния плот",
      u"Папката:\r\n\r\n%s\r\n\r\nвече съществува. Искате ли въпреки това да инсталирате в нея?",
      u"За да инсталирате тази програма, трябва да сте влезли като администратор.",
      u"Инсталаторът установи, че %s в момента работи.\r\n\r\nМоля, затворете всички негови "
      u"копия сега, след което натиснете „OK“, за да продължите, или „Отказ“, за да излезете.",
  }, {
      u"Искате ли да премахнете напълно %s и всички негови компоненти?",
      u"%s беше премахнат от вашия компютър.",
      u"%s не можа да бъде премахнат напълно. Останаха следните елементи:",
  }));

  all.push_back(Make("zh-CN", 0x0804, u"简体中文", {
      u"安装 - %s",
      u"< 上一步(&B)",
      u"下一步(&N) >",
      u"安装(&I)",
      u"取消",
      u"许可协议",
      u"继续安装前请阅读下列重要信息。",
      u"我接受协议(&A)",
      u"选择目标位置",
      u"您想将 %s 安装在什么地方？",
      u"浏览(&R)...",
      u"正在安装",
      u"安装程序正在将 %s 安装到您的电脑中，请稍候。",
      u"安装已成功完成",
      u"安装失败",
      u"单击“完成”退出安装程序。",
      u"完成(&F)",
      u"运行 %s",
      u"在下面的列表中选择一个文件夹，然后单击“确定”。",
      u"创建桌面快捷方式(&D)",
      u"文件夹：\r\n\r\n%s\r\n\r\n已经存在。仍要安装到该文件夹中吗？",
      u"您必须以管理员身份登录才能安装此程序。",
      u"安装程序检测到 %s 正在运行。\r\n\r\n请立即关闭它的所有实例，然后单击“确定”继续，或单击“取消”退出。",
  }, {
      u"您要完全删除 %s 及其所有组件吗？",
      u"%s 已从您的电脑中删除。",
      u"无法完全删除 %s。以下项目仍然保留：",
  }));

  all.push_back(Make("zh-TW", 0x0404, u"繁體中文", {
      u"安裝 - %s",
      u"< 上一步(&B)",
      u"下一步(&N) >",
      u"安裝(&I)",
      u"取消",
      u"授權合約",
      u"在繼續安裝之前，請閱讀下列重要資訊。",
      u"我同意授權合約(&A)",
      u"選擇目的資料夾",
      u"您想將 %s 安裝在哪裡？",
      u"瀏覽(&R)...",
      u"正在安裝",
      u"安裝程式正在將 %s 安裝到您的電腦上，請稍候。",
      u"安裝已順利完成",
      u"安裝失敗",
      u"按一下「完成」結束安裝程式。",
      u"完成(&F)",
      u"執行 %s",
      u"請在下面的清單中選擇一個資料夾，然後按一下「確定」。",
      u"建立桌面捷徑(&D)",
      u"資料夾：\r\n\r\n%s\r\n\r\n已經存在。仍要安裝到這個資料夾嗎？",
      u"您必須以系統管理員身分登入才能安裝此程式。",
      u"安裝程式偵測到 %s 正在執行。\r\n\r\n請立即關閉它的所有執行個體，然後按一下「確定」繼續，或按一下「取消」結束。",
  }, {
      u"您要完全移除 %s 及其所有元件嗎？",
      u"%s 已從您的電腦移除。",
      u"無法完全移除 %s。下列項目仍然保留：",
  }));

  all.push_back(Make("hr", 0x041A, u"Hrvatski", {
      u"Instalacija - %s",
      u"< &Natrag",
      u"&Dalje >",
      u"&Instaliraj",
      u"Odustani",
      u"Licencni ugovor",
      u"Prije nastavka pročitajte sljedeće važne informacije.",
      u"&Prihvaćam ugovor",
      u"Odabir odredišne lokacije",
      u"Gdje želite instalirati %s?",
      u"Pre&gledaj...",
      u"Instaliranje",
      u"Pričekajte dok program za instalaciju instalira %s na vaše računalo.",
      u"Instalacija je uspješno dovršena",
      u"Instalacija nije uspjela",
      u"Kliknite Završi za izlaz iz instalacije.",
      u"&Završi",
      u"Pokreni %s",
      u"Odaberite mapu s donjeg popisa, a zatim kliknite U redu.",
      u"Stvori prečac na &radnoj površini",
      u"Mapa:\r\n\r\n%s\r\n\r\nveć postoji. Želite li ipak instalirati u tu mapu?",
      u"Za instalaciju ovog programa morate biti prijavljeni kao administrator.",
      u"Program za instalaciju otkrio je da je %s trenutno pokrenut.\r\n\r\nSada zatvorite sve "
      u"njegove instance, a zatim kliknite U redu za nastavak ili Odustani za izlaz.",
  }, {
      u"Želite li potpuno ukloniti %s i sve njegove komponente?",
      u"%s je uklonjen s vašeg računala.",
      u"%s nije bilo moguće potpuno ukloniti. Ostale su ove stavke:",
  }));

  all.push_back(Make("cs", 0x0405, u"Čeština", {
      u"Instalace - %s",
      u"< &Zpět",
      u"&Další >",
      u"&Instalovat",
      u"Storno",
      u"Licenční smlouva",
      u"Před pokračováním si přečtěte následující důležité informace.",
      u"&Souhlasím s podmínkami smlouvy",
      u"Zvolte cílové umístění",
      u"Kam má být %s nainstalován?",
      u"&Procházet...",
      u"Instalace",
      u"Počkejte prosím, než průvodce nainstaluje %s do vašeho počítače.",
      u"Instalace byla úspěšně dokončena",
      u"Instalace se nezdařila",
      u"Klikněte na Dokončit pro ukončení průvodce instalací.",
      u"&Dokončit",
      u"Spustit %s",
      u"Vyberte složku ze seznamu níže a potom klikněte na OK.",
      u"Vytvořit zástupce na p&loše",
      u"Složka:\r\n\r\n%s\r\n\r\njiž existuje. Chcete přesto instalovat do této složky?",
      u"K instalaci tohoto programu musíte být přihlášeni jako správce.",
      u"Průvodce instalací zjistil, že %s je právě spuštěn.\r\n\r\nZavřete nyní všechny jeho "
      u"instance a potom klikněte na OK pro pokračování, nebo na Storno pro ukončení.",
  }, {
      u"Chcete úplně odebrat %s a všechny jeho součásti?",
      u"%s byl odebrán z vašeho počítače.",
      u"%s nelze úplně odebrat. Zůstaly tyto položky:",
  }));

  all.push_back(Make("nl", 0x0413, u"Nederlands", {
      u"Setup - %s",
      u"< V&orige",
      u"&Volgende >",
      u"&Installeren",
      u"Annuleren",
      u"Licentieovereenkomst",
      u"Lees de volgende belangrijke informatie voordat u verdergaat.",
      u"Ik &accepteer de overeenkomst",
      u"Kies de doelmap",
      u"Waar moet %s geïnstalleerd worden?",
      u"B&laderen...",
      u"Bezig met installeren",
      u"Even geduld terwijl Setup %s op uw computer installeert.",
      u"De installatie is voltooid",
      u"De installatie is mislukt",
      u"Klik op Voltooien om Setup af te sluiten.",
      u"&Voltooien",
      u"%s starten",
      u"Kies een map uit de onderstaande lijst en klik op OK.",
      u"Een snelkoppeling op het &bureaublad maken",
      u"De map:\r\n\r\n%s\r\n\r\nbestaat al. Wilt u toch in die map installeren?",
      u"U moet als beheerder zijn aangemeld om dit programma te installeren.",
      u"Setup heeft vastgesteld dat %s momenteel actief is.\r\n\r\nSluit nu alle vensters van "
      u"dit programma en klik op OK om door te gaan, of op Annuleren om af te sluiten.",
  }, {
      u"Wilt u %s en alle onderdelen ervan volledig verwijderen?",
      u"%s is van uw computer verwijderd.",
      u"%s kon niet volledig worden verwijderd. Deze items zijn achtergebleven:",
  }));

  all.push_back(Make("fr", 0x040C, u"Français", {
      u"Installation - %s",
      u"< &Précédent",
      u"&Suivant >",
      u"&Installer",
      u"Annuler",
      u"Accord de licence",
      u"Veuillez lire les informations importantes suivantes avant de continuer.",
      u"J'&accepte les termes du contrat",
      u"Dossier de destination",
      u"Où %s doit-il être installé\u00A0?",
      u"Pa&rcourir...",
      u"Installation en cours",
      u"Veuillez patienter pendant l'installation de %s sur votre ordinateur.",
      u"L'installation s'est terminée avec succès",
      u"L'installation a échoué",
      u"Cliquez sur Terminer pour quitter l'assistant d'installation.",
      u"&Terminer",
      u"Lancer %s",
      u"Sélectionnez un dossier dans la liste ci-dessous, puis cliquez sur OK.",
      u"Créer un raccourci sur le &bureau",
      u"Le dossier\u00A0:\r\n\r\n%s\r\n\r\nexiste déjà. Voulez-vous tout de même installer dans ce dossier\u00A0?",
      u"Vous devez être connecté en tant qu'administrateur pour installer ce programme.",
      u"L'assistant d'installation a détecté que %s est en cours d'exécution.\r\n\r\nVeuillez "
      u"fermer toutes ses instances maintenant, puis cliquez sur OK pour continuer, ou sur "
      u"Annuler pour quitter.",
  }, {
      u"Voulez-vous supprimer complètement %s et tous ses composants\u00A0?",
      u"%s a été supprimé de votre ordinateur.",
      u"%s n'a pas pu être supprimé complètement. Les éléments suivants restent\u00A0:",
  }));

  all.push_back(Make("de", 0x0407, u"Deutsch", {
      u"Setup - %s",
      u"< &Zurück",
      u"&Weiter >",
      u"&Installieren",
      u"Abbrechen",
      u"Lizenzvereinbarung",
      u"Bitte lesen Sie die folgenden wichtigen Informationen, bevor Sie fortfahren.",
      u"Ich &akzeptiere die Vereinbarung",
      u"Zielordner wählen",
      u"Wohin soll %s installiert werden?",
      u"Ä&ndern...",
      u"Installation läuft",
      u"Bitte warten Sie, während %s auf Ihrem Computer installiert wird.",
      u"Die Installation wurde erfolgreich abgeschlossen",
      u"Die Installation ist fehlgeschlagen",
      u"Klicken Sie auf „Fertigstellen“, um das Setup zu beenden.",
      u"&Fertigstellen",
      u"%s starten",
      u"Wählen Sie einen Ordner aus der Liste unten aus und klicken Sie dann auf „OK“.",
      u"Verknüpfung auf dem &Desktop erstellen",
      u"Der Ordner:\r\n\r\n%s\r\n\r\nexistiert bereits. Möchten Sie trotzdem in diesen Ordner installieren?",
      u"Sie müssen als Administrator angemeldet sein, um dieses Programm zu installieren.",
      u"Setup hat festgestellt, dass %s zurzeit ausgeführt wird.\r\n\r\nBitte schließen Sie jetzt "
      u"alle Instanzen davon und klicken Sie dann auf „OK“, um fortzufahren, oder auf "
      u"„Abbrechen“, um Setup zu beenden.",
  }, {
      u"Möchten Sie %s und alle zugehörigen Komponenten vollständig entfernen?",
      u"%s wurde von Ihrem Computer entfernt.",
      u"%s konnte nicht vollständig entfernt werden. Diese Elemente sind noch vorhanden:",
  }));

  all.push_back(Make("es", 0x0C0A, u"Español", {
      u"Instalar - %s",
      u"< &Atrás",
      u"&Siguiente >",
      u"&Instalar",
      u"Cancelar",
      u"Acuerdo de licencia",
      u"Lea la siguiente información importante antes de continuar.",
      u"A&cepto el acuerdo",
      u"Seleccione la carpeta de destino",
      u"¿Dónde debe instalarse %s?",
      u"E&xaminar...",
      u"Instalando",
      u"Espere mientras se instala %s en su equipo.",
      u"La instalación se completó correctamente",
      u"La instalación ha fallado",
      u"Haga clic en Finalizar para salir del programa de instalación.",
      u"&Finalizar",
      u"Ejecutar %s",
      u"Seleccione una carpeta de la lista siguiente y, a continuación, haga clic en Aceptar.",
      u"Crear un acceso directo en el &escritorio",
      u"La carpeta:\r\n\r\n%s\r\n\r\nya existe. ¿Desea instalar en esa carpeta de todos modos?",
      u"Debe iniciar sesión como administrador para instalar este programa.",
      u"El programa de instalación ha detectado que %s se está ejecutando.\r\n\r\nCierre ahora "
      u"todas sus instancias y haga clic en Aceptar para continuar, o en Cancelar para salir.",
  }, {
      u"¿Desea eliminar por completo %s y todos sus componentes?",
      u"%s se ha eliminado de su equipo.",
      u"No se pudo eliminar %s por completo. Quedan estos elementos:",
  }));

  all.push_back(Make("fi", 0x040B, u"Suomi", {
      u"Asennus - %s",
      u"< &Edellinen",
      u"&Seuraava >",
      u"&Asenna",
      u"Peruuta",
      u"Käyttöoikeussopimus",
      u"Lue seuraavat tärkeät tiedot ennen kuin jatkat.",
      u"&Hyväksyn sopimuksen",
      u"Valitse kohdekansio",
      u"Mihin %s asennetaan?",
      u"Se&laa...",
      u"Asennetaan",
      u"Odota, kunnes %s on asennettu tietokoneellesi.",
      u"Asennus onnistui",
      u"Asennus epäonnistui",
      u"Lopeta asennus valitsemalla Valmis.",
      u"&Valmis",
      u"Käynnistä %s",
      u"Valitse kansio alla olevasta luettelosta ja valitse sitten OK.",
      u"Luo pikakuvake &työpöydälle",
      u"Kansio:\r\n\r\n%s\r\n\r\non jo olemassa. Haluatko silti asentaa tähän kansioon?",
      u"Sinun täytyy olla kirjautuneena järjestelmänvalvojana, jotta voit asentaa tämän ohjelman.",
      u"Asennusohjelma havaitsi, että %s on käynnissä.\r\n\r\nSulje nyt kaikki sen ikkunat ja "
      u"jatka valitsemalla OK tai lopeta asennus valitsemalla Peruuta.",
  }, {
      u"Haluatko poistaa ohjelman %s ja kaikki sen osat kokonaan?",
      u"%s on poistettu tietokoneeltasi.",
      u"Ohjelmaa %s ei voitu poistaa kokonaan. Nämä kohteet jäivät jäljelle:",
  }));

  all.push_back(Make("it", 0x0410, u"Italiano", {
      u"Installazione - %s",
      u"< &Indietro",
      u"&Avanti >",
      u"I&nstalla",
      u"Annulla",
      u"Contratto di licenza",
      u"Leggere le seguenti informazioni importanti prima di continuare.",
      u"A&ccetto i termini del contratto",
      u"Selezione della cartella di destinazione",
      u"Dove si vuole installare %s?",
      u"S&foglia...",
      u"Installazione in corso",
      u"Attendere mentre %s viene installato nel computer.",
      u"Installazione completata correttamente",
      u"Installazione non riuscita",
      u"Fare clic su Fine per uscire dall'installazione.",
      u"&Fine",
      u"Avvia %s",
      u"Selezionare una cartella nell'elenco seguente, quindi fare clic su OK.",
      u"Crea un collegamento sul &desktop",
      u"La cartella:\r\n\r\n%s\r\n\r\nesiste già. Si vuole comunque installare in questa cartella?",
      u"Per installare questo programma è necessario aver effettuato l'accesso come amministratore.",
      u"Il programma di installazione ha rilevato che %s è attualmente in esecuzione.\r\n\r\n"
      u"Chiudere ora tutte le sue istanze, quindi fare clic su OK per continuare o su Annulla "
      u"per uscire.",
  }, {
      u"Si vuole rimuovere completamente %s e tutti i suoi componenti?",
      u"%s è stato rimosso dal computer.",
      u"Non è stato possibile rimuovere completamente %s. Sono rimasti questi elementi:",
  }));

  all.push_back(Make("ja", 0x0411, u"日本語", {
      u"セットアップ - %s",
      u"< 戻る(&B)",
      u"次へ(&N) >",
      u"インストール(&I)",
      u"キャンセル",
      u"使用許諾契約書",
      u"続行する前に、以下の重要な情報をお読みください。",
      u"同意する(&A)",
      u"インストール先の指定",
      u"%s をどこにインストールしますか？",
      u"参照(&R)...",
      u"インストール中",
      u"%s をインストールしています。しばらくお待ちください。",
      u"インストールが正常に完了しました",
      u"インストールに失敗しました",
      u"セットアップを終了するには [完了] をクリックしてください。",
      u"完了(&F)",
      u"%s を起動する",
      u"下の一覧からフォルダーを選択し、[OK] をクリックしてください。",
      u"デスクトップにショートカットを作成する(&D)",
      u"次のフォルダーは既に存在します:\r\n\r\n%s\r\n\r\nそれでもこのフォルダーにインストールしますか？",
      u"このプログラムをインストールするには、管理者としてログインする必要があります。",
      u"%s が実行中です。\r\n\r\nすべてのウィンドウを今すぐ閉じてから [OK] をクリックして続行するか、"
      u"[キャンセル] をクリックしてセットアップを終了してください。",
  }, {
      u"%s とそのすべてのコンポーネントを完全に削除しますか？",
      u"%s はコンピューターから削除されました。",
      u"%s を完全には削除できませんでした。次の項目が残っています:",
  }));

  all.push_back(Make("ko", 0x0412, u"Korean", {
      u"설치 - %s",
      u"< 뒤로(&B)",
      u"다음(&N) >",
      u"설치(&I)",
      u"취소",
      u"사용권 계약",
      u"계속하기 전에 다음 중요한 정보를 읽어 주십시오.",
      u"계약에 동의합니다(&A)",
      u"설치 위치 선택",
      u"%s을(를) 어디에 설치하시겠습니까?",
      u"찾아보기(&R)...",
      u"설치 중",
      u"%s을(를) 컴퓨터에 설치하는 동안 잠시 기다려 주십시오.",
      u"설치가 완료되었습니다",
      u"설치하지 못했습니다",
      u"설치 프로그램을 끝내려면 [마침]을 클릭하십시오.",
      u"마침(&F)",
      u"%s 실행",
      u"아래 목록에서 폴더를 선택한 다음 [확인]을 클릭하십시오.",
      u"바탕 화면에 바로 가기 만들기(&D)",
      u"다음 폴더가 이미 있습니다:\r\n\r\n%s\r\n\r\n그래도 이 폴더에 설치하시겠습니까?",
      u"이 프로그램을 설치하려면 관리자로 로그인해야 합니다.",
      u"설치 프로그램에서 %s이(가) 실행 중인 것을 발견했습니다.\r\n\r\n지금 모든 창을 닫은 다음 "
      u"[확인]을 클릭하여 계속하거나 [취소]를 클릭하여 끝내십시오.",
  }, {
      u"%s 및 모든 구성 요소를 완전히 제거하시겠습니까?",
      u"%s이(가) 컴퓨터에서 제거되었습니다.",
      u"%s을(를) 완전히 제거하지 못했습니다. 다음 항목이 남아 있습니다:",
  }));

  all.push_back(Make("pl", 0x0415, u"Polski", {
      u"Instalacja - %s",
      u"< &Wstecz",
      u"&Dalej >",
      u"&Instaluj",
      u"Anuluj",
      u"Umowa licencyjna",
      u"Przed kontynuowaniem przeczytaj poniższe ważne informacje.",
      u"&Akceptuję warunki umowy",
      u"Wybierz lokalizację docelową",
      u"Gdzie ma zostać zainstalowany program %s?",
      u"&Przeglądaj...",
      u"Instalowanie",
      u"Poczekaj, aż instalator zainstaluje program %s na tym komputerze.",
      u"Instalacja zakończyła się pomyślnie",
      u"Instalacja nie powiodła się",
      u"Kliknij Zakończ, aby zamknąć instalator.",
      u"&Zakończ",
      u"Uruchom %s",
      u"Wybierz folder z poniższej listy, a następnie kliknij OK.",
      u"Utwórz skrót na pu&lpicie",
      u"Folder:\r\n\r\n%s\r\n\r\njuż istnieje. Czy mimo to chcesz zainstalować program w tym folderze?",
      u"Aby zainstalować ten program, musisz być zalogowany jako administrator.",
      u"Instalator wykrył, że program %s jest uruchomiony.\r\n\r\nZamknij teraz wszystkie jego "
      u"okna, a następnie kliknij OK, aby kontynuować, lub Anuluj, aby zakończyć.",
  }, {
      u"Czy chcesz całkowicie usunąć %s i wszystkie jego składniki?",
      u"%s został usunięty z komputera.",
      u"Nie można było całkowicie usunąć %s. Pozostały następujące elementy:",
  }));

  all.push_back(Make("pt-BR", 0x0416, u"Português Brasileiro", {
      u"Instalação - %s",
      u"< &Voltar",
      u"&Avançar >",
      u"&Instalar",
      u"Cancelar",
      u"Contrato de Licença",
      u"Leia as seguintes informações importantes antes de continuar.",
      u"Eu a&ceito o contrato",
      u"Selecione o Local de Destino",
      u"Onde o %s deve ser instalado?",
      u"&Procurar...",
      u"Instalando",
      u"Aguarde enquanto o programa de instalação instala o %s no seu computador.",
      u"Instalação concluída com êxito",
      u"Falha na instalação",
      u"Clique em Concluir para sair do programa de instalação.",
      u"&Concluir",
      u"Executar %s",
      u"Selecione uma pasta na lista abaixo e clique em OK.",
      u"Criar um atalho na área de &trabalho",
      u"A pasta:\r\n\r\n%s\r\n\r\njá existe. Deseja instalar nessa pasta mesmo assim?",
      u"Você precisa estar conectado como administrador para instalar este programa.",
      u"O programa de instalação detectou que o %s está em execução.\r\n\r\nFeche todas as "
      u"janelas dele agora e clique em OK para continuar, ou em Cancelar para sair.",
  }, {
      u"Deseja remover completamente o %s e todos os seus componentes?",
      u"O %s foi removido do seu computador.",
      u"Não foi possível remover o %s completamente. Estes itens permaneceram:",
  }));

  all.push_back(Make("ru", 0x0419, u"Русский", {
      u"Установка - %s",
      u"< &Назад",
      u"&Далее >",
      u"&Установить",
      u"Отмена",
      u"Лицензионное соглашение",
      u"Пожалуйста, прочтите следующую важную информацию, прежде чем продолжить.",
      u"Я &принимаю условия соглашения",
      u"Выбор папки установки",
      u"Куда установить %s?",
      u"&Обзор...",
      u"Установка",
      u"Пожалуйста, подождите, пока %s устанавливается на ваш компьютер.",
      u"Установка успешно завершена",
      u"Установка завершилась с ошибкой",
      u"Нажмите «Завершить», чтобы выйти из программы установки.",
      u"&Завершить",
      u"Запустить %s",
      u"Выберите папку из списка ниже и нажмите «ОК».",
      u"Создать значок на &рабочем столе",
      u"Папка:\r\n\r\n%s\r\n\r\nуже существует. Всё равно установить в эту папку?",
      u"Для установки этой программы необходимо войти в систему с правами администратора.",
      u"Программа установки обнаружила, что %s сейчас запущен.\r\n\r\nЗакройте все его окна и "
      u"нажмите «ОК», чтобы продолжить, или «Отмена», чтобы выйти.",
  }, {
      u"Вы хотите полностью удалить %s и все его компоненты?",
      u"%s удалён с вашего компьютера.",
      u"Не удалось полностью удалить %s. Остались следующие элементы:",
  }));

  all.push_back(Make("sk", 0x041B, u"Slovenčina", {
      u"Inštalácia - %s",
      u"< &Späť",
      u"Ď&alej >",
      u"&Inštalovať",
      u"Zrušiť",
      u"Licenčná zmluva",
      u"Pred pokračovaním si prečítajte nasledujúce dôležité informácie.",
      u"Súhlasím so &zmluvou",
      u"Výber cieľového umiestnenia",
      u"Kam sa má %s nainštalovať?",
      u"&Prehľadávať...",
      u"Inštaluje sa",
      u"Počkajte, kým sprievodca nainštaluje %s do vášho počítača.",
      u"Inštalácia bola úspešne dokončená",
      u"Inštalácia zlyhala",
      u"Kliknutím na Dokončiť ukončíte sprievodcu inštaláciou.",
      u"&Dokončiť",
      u"Spustiť %s",
      u"Vyberte priečinok zo zoznamu nižšie a potom kliknite na OK.",
      u"Vytvoriť odkaz na p&loche",
      u"Priečinok:\r\n\r\n%s\r\n\r\nuž existuje. Chcete napriek tomu inštalovať do tohto priečinka?",
      u"Na inštaláciu tohto programu musíte byť prihlásený ako správca.",
      u"Sprievodca inštaláciou zistil, že %s je práve spustený.\r\n\r\nZatvorte teraz všetky jeho "
      u"okná a potom kliknite na OK pre pokračovanie alebo na Zrušiť pre ukončenie.",
  }, {
      u"Chcete úplne odstrániť %s a všetky jeho súčasti?",
      u"%s bol odstránený z vášho počítača.",
      u"%s sa nepodarilo úplne odstrániť. Zostali tieto položky:",
  }));

  all.push_back(Make("sl", 0x0424, u"Slovenski", {
      u"Namestitev - %s",
      u"< &Nazaj",
      u"N&aprej >",
      u"Na&mesti",
      u"Prekliči",
      u"Licenčna pogodba",
      u"Pred nadaljevanjem preberite naslednje pomembne informacije.",
      u"&Sprejemam pogodbo",
      u"Izbira ciljne mape",
      u"Kam naj se namesti %s?",
      u"Pre&brskaj...",
      u"Nameščanje",
      u"Počakajte, da namestitveni program namesti %s v vaš računalnik.",
      u"Namestitev je bila uspešno končana",
      u"Namestitev ni uspela",
      u"Kliknite Dokončaj za izhod iz namestitvenega programa.",
      u"&Dokončaj",
      u"Zaženi %s",
      u"Izberite mapo s spodnjega seznama in kliknite V redu.",
      u"Ustvari bližnjico na nami&zju",
      u"Mapa:\r\n\r\n%s\r\n\r\nže obstaja. Ali želite vseeno namestiti v to mapo?",
      u"Za namestitev tega programa morate biti prijavljeni kot skrbnik.",
      u"Namestitveni program je zaznal, da se %s trenutno izvaja.\r\n\r\nZaprite vsa njegova "
      u"okna in kliknite V redu za nadaljevanje ali Prekliči za izhod.",
  }, {
      u"Ali želite popolnoma odstraniti %s in vse njegove komponente?",
      u"%s je bil odstranjen iz vašega računalnika.",
      u"%s ni bilo mogoče popolnoma odstraniti. Ostali so ti elementi:",
  }));

  all.push_back(Make("uk", 0x0422, u"Українська", {
      u"Встановлення - %s",
      u"< &Назад",
      u"&Далі >",
      u"&Встановити",
      u"Скасувати",
      u"Ліцензійна угода",
      u"Будь ласка, прочитайте наступну важливу інформацію, перш ніж продовжити.",
      u"Я &приймаю умови угоди",
      u"Вибір папки встановлення",
      u"Куди встановити %s?",
      u"&Огляд...",
      u"Встановлення",
      u"Будь ласка, зачекайте, поки %s встановлюється на ваш комп’ютер.",
      u"Встановлення успішно завершено",
      u"Не вдалося завершити встановлення",
      u"Натисніть «Завершити», щоб вийти з програми встановлення.",
      u"&Завершити",
      u"Запустити %s",
      u"Виберіть папку зі списку нижче, а потім натисніть «OK».",
      u"Створити ярлик на &робочому столі",
      u"Папка:\r\n\r\n%s\r\n\r\nвже існує. Все одно встановити в цю папку?",
      u"Щоб установити цю програму, потрібно увійти в систему як адміністратор.",
      u"Програма встановлення виявила, що %s зараз запущено.\r\n\r\nЗакрийте всі його вікна та "
      u"натисніть «OK», щоб продовжити, або «Скасувати», щоб вийти.",
  }, {
      u"Бажаєте повністю видалити %s і всі його компоненти?",
      u"%s видалено з вашого комп’ютера.",
      u"Не вдалося повністю видалити %s. Залишилися такі елементи:",
  }));

  all.push_back(Make("ar", 0x0401, u"arabic", {
      u"تثبيت - %s",
      u"< ال&سابق",
      u"ال&تالي >",
      u"&تثبيت",
      u"إلغاء",
      u"اتفاقية الترخيص",
      u"يرجى قراءة المعلومات المهمة التالية قبل المتابعة.",
      u"أ&وافق على الاتفاقية",
      u"اختيار موقع التثبيت",
      u"أين تريد تثبيت %s؟",
      u"استعرا&ض...",
      u"جارٍ التثبيت",
      u"يرجى الانتظار بينما يقوم برنامج الإعداد بتثبيت %s على الكمبيوتر.",
      u"اكتمل التثبيت بنجاح",
      u"فشل التثبيت",
      u"انقر فوق \"إنهاء\" للخروج من برنامج الإعداد.",
      u"إ&نهاء",
      u"تشغيل %s",
      u"حدد مجلداً من القائمة أدناه، ثم انقر فوق \"موافق\".",
      u"إنشاء اختصار على سطح ال&مكتب",
      u"المجلد:\r\n\r\n%s\r\n\r\nموجود بالفعل. هل تريد التثبيت في هذا المجلد على أي حال؟",
      u"يجب تسجيل الدخول كمسؤول لتثبيت هذا البرنامج.",
      u"اكتشف برنامج الإعداد أن %s قيد التشغيل حالياً.\r\n\r\nيرجى إغلاق جميع نوافذه الآن، ثم النقر "
      u"فوق \"موافق\" للمتابعة أو \"إلغاء\" للخروج.",
  }, {
      u"هل تريد إزالة %s وكافة مكوناته بالكامل؟",
      u"تمت إزالة %s من الكمبيوتر.",
      u"تعذرت إزالة %s بالكامل. العناصر التالية متبقية:",
  }));

  all.push_back(Make("sv", 0x041D, u"Svenska", {
      u"Installation - %s",
      u"< &Tillbaka",
      u"&Nästa >",
      u"&Installera",
      u"Avbryt",
      u"Licensavtal",
      u"Läs följande viktiga information innan du fortsätter.",
      u"Jag &godkänner avtalet",
      u"Välj målplats",
      u"Var ska %s installeras?",
      u"&Bläddra...",
      u"Installerar",
      u"Vänta medan installationsprogrammet installerar %s på datorn.",
      u"Installationen har slutförts",
      u"Installationen misslyckades",
      u"Klicka på Slutför för att avsluta installationsprogrammet.",
      u"&Slutför",
      u"Starta %s",
      u"Välj en mapp i listan nedan och klicka sedan på OK.",
      u"Skapa en genväg på s&krivbordet",
      u"Mappen:\r\n\r\n%s\r\n\r\nfinns redan. Vill du installera i den mappen ändå?",
      u"Du måste vara inloggad som administratör för att installera det här programmet.",
      u"Installationsprogrammet har upptäckt att %s körs.\r\n\r\nStäng alla fönster i programmet "
      u"nu och klicka sedan på OK för att fortsätta, eller på Avbryt för att avsluta.",
  }, {
      u"Vill du ta bort %s och alla dess komponenter helt?",
      u"%s har tagits bort från datorn.",
      u"%s kunde inte tas bort helt. Följande objekt finns kvar:",
  }));

  all.push_back(Make("ro", 0x0418, u"Română", {
      u"Instalare - %s",
      u"< Îna&poi",
      u"&Următorul >",
      u"&Instalează",
      u"Anulare",
      u"Acord de licență",
      u"Citiți următoarele informații importante înainte de a continua.",
      u"&Accept acordul",
      u"Selectați locația de destinație",
      u"Unde doriți să fie instalat %s?",
      u"&Răsfoire...",
      u"Instalare în curs",
      u"Așteptați până când programul de instalare instalează %s pe computer.",
      u"Instalarea s-a încheiat cu succes",
      u"Instalarea a eșuat",
      u"Faceți clic pe Terminare pentru a ieși din programul de instalare.",
      u"&Terminare",
      u"Lansează %s",
      u"Selectați un folder din lista de mai jos, apoi faceți clic pe OK.",
      u"Creează o comandă rapidă pe &desktop",
      u"Folderul:\r\n\r\n%s\r\n\r\nexistă deja. Doriți totuși să instalați în acest folder?",
      u"Trebuie să fiți conectat ca administrator pentru a instala acest program.",
      u"Programul de instalare a detectat că %s rulează în acest moment.\r\n\r\nÎnchideți acum "
      u"toate ferestrele sale, apoi faceți clic pe OK pentru a continua sau pe Anulare pentru a ieși.",
  }, {
      u"Doriți să eliminați complet %s și toate componentele sale?",
      u"%s a fost eliminat de pe computer.",
      u"%s nu a putut fi eliminat complet. Au rămas aceste elemente:",
  }));
  return all;
}

}  // namespace

const char* const kUninstallerTextKeys[kUninstallerTextCount] = {
    "uninstall_question", "uninstall_removed", "uninstall_incomplete"};

std::optional<uint32_t> UninstallerTextIndex(std::string_view key) {
  for (uint32_t i = 0; i < kUninstallerTextCount; ++i) {
    if (key == kUninstallerTextKeys[i]) return i;
  }
  return std::nullopt;
}

const std::vector<Language>& DefaultLanguages() {
  static const std::vector<Language> kLanguages = BuildDefaults();
  return kLanguages;
}

}  // namespace tailpack
